// Test seams of the service host. Not installed and not exported from
// libnorv-platform.so: a test that uses them links norv_platform_static.
// Thread-safety: the switches are atomic; set them while no host is driven.
#ifndef NORV_PLATFORM_PIPES_HOST_TESTING_H_
#define NORV_PLATFORM_PIPES_HOST_TESTING_H_

namespace Norv::ServiceModel::testing {

// Fault injection for tests of code that drives a host: while a step is set
// to fail, every host raises CommunicationException at that step (Close still
// releases everything first).
enum class HostStep { kConstruct, kAddEndpoint, kOpen, kClose };
void SetHostStepFails(HostStep step, bool fails) noexcept;

}  // namespace Norv::ServiceModel::testing

#endif  // NORV_PLATFORM_PIPES_HOST_TESTING_H_
