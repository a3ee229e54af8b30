// The whole exported interface of libnorv-interop.so.
#ifndef NORV_INTEROP_H_
#define NORV_INTEROP_H_

#include "norv/interop/Halvane.h"
#include "norv/interop/MirnDataService.h"
#include "norv/interop/NativeKeyValuePairs.h"
#include "norv/interop/Settings.h"
#include "norv/interop/ShutdownFactory.h"

#endif  // NORV_INTEROP_H_
