// The whole public API of libnorv-platform.so, the platform that the bridge
// stands on, for hosts, C++ services and client applications:
// - hosting and client channels: NamedPipeServiceHost, OperationContext,
//   DuplexChannelFactory, Timeouts, and the exceptions of ServiceErrors.h;
// - the contracts and their values: IDataService, IApplicationLauncher,
//   IShutdown and IShutdownCallback, ServiceString, DateTime, Collection,
//   the result sets;
// - a client application's subscription to a shutdown service: ShutdownClient;
// - the thread culture and the ANSI code page: Text.h;
// - what endpoints the user's endpoint directory holds: EndpointListing.h;
// - the preferred TD list documents, the author settings and password
//   encryption.
// Each header beside this one declares one of these pieces and states its
// thread-safety contract. Link NorvInterop::norv_platform (CMake) or
// `pkg-config norv-platform`.
#ifndef NORV_PLATFORM_H_
#define NORV_PLATFORM_H_

#include "platform/AuthorSettings.h"
#include "platform/Collection.h"
#include "platform/ContractType.h"
#include "platform/CustomPassword.h"
#include "platform/DateTime.h"
#include "platform/Diagnostics.h"
#include "platform/EndpointListing.h"
#include "platform/IApplicationLauncher.h"
#include "platform/IDataService.h"
#include "platform/IShutdown.h"
#include "platform/NamedPipeServiceHost.h"
#include "platform/PreferredTDList.h"
#include "platform/ResultSets.h"
#include "platform/ServiceDescription.h"
#include "platform/ServiceErrors.h"
#include "platform/ServiceString.h"
#include "platform/ShutdownClient.h"
#include "platform/ShutdownRegistry.h"
#include "platform/Text.h"

#endif  // NORV_PLATFORM_H_
