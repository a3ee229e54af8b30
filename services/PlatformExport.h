// Export macro of libnorv-platform.so.
#ifndef NORV_SERVICES_PLATFORM_EXPORT_H_
#define NORV_SERVICES_PLATFORM_EXPORT_H_

#define NORV_PLATFORM_API __attribute__((visibility("default")))

#endif  // NORV_SERVICES_PLATFORM_EXPORT_H_
