// Halvane: asks the application launcher of the current process to log on to
// a project and to start the three companion tools.
//
// Every member is static and opens its own channel; call them from any
// thread. LogOn never reports a failure; the launches raise every failure.
#ifndef NORV_INTEROP_HALVANE_H_
#define NORV_INTEROP_HALVANE_H_

#include "norv/interop/Export.h"

namespace Norv::Halvane::Interop {

class NORV_INTEROP_API Halvane {
 public:
  Halvane& operator=(const Halvane& other);

  static void LogOn(char* projectPath, char* user, char* password, char* author);
  static void LaunchTrasko();
  static void LaunchWendal();
  static void LaunchOrbisk();
};

}  // namespace Norv::Halvane::Interop

#endif  // NORV_INTEROP_HALVANE_H_
