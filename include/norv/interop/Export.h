// Export macro of libnorv-interop.so. The library is built with hidden
// visibility, so only declarations marked NORV_INTEROP_API are visible to the
// host application.
#ifndef NORV_INTEROP_EXPORT_H_
#define NORV_INTEROP_EXPORT_H_

#if defined(NORV_INTEROP_BUILDING)
#define NORV_INTEROP_API __attribute__((visibility("default")))
#else
#define NORV_INTEROP_API
#endif

#endif  // NORV_INTEROP_EXPORT_H_
