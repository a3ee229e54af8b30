// Each installed header compiles on its own and through the umbrella.
#include <norv/interop.h>
#include <norv/platform.h>
#include <norv/platform/NamedPipeServiceHost.h>
#include <norv/platform/ShutdownClient.h>
#include <norv/platform/Text.h>

int SdkUmbrellaCompiles() { return 0; }
