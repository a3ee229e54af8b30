// The standard health service, grpc.health.v1.Health, for hosts whose
// contracts are all unary. gRPC's own implementation is a callback service,
// and a server that serves callback and synchronous services together hands
// every incoming call from one thread pool to the other (about three more
// context switches a unary call, a tenth of its time). This one is
// synchronous, like the adapters of the unary contracts.
//
// It answers as gRPC's default implementation does: the empty service name
// is SERVING while the host is open and NOT_SERVING once it closes; any other
// name is unknown (Check: NOT_FOUND; Watch: SERVICE_UNKNOWN). The two
// messages are encoded by hand: Debian ships no health.proto, and a generated
// copy could clash in protobuf's descriptor pool with one the host
// application links.
//
// Thread-safety: the handlers run on gRPC's threads, Shutdown on any.
#ifndef NORV_PLATFORM_PIPES_HEALTHSERVICE_H_
#define NORV_PLATFORM_PIPES_HEALTHSERVICE_H_

#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/service_type.h>

#include <cstdint>

#include "base/Mutex.h"

namespace Norv::ServiceModel::internal {

// HealthCheckResponse.ServingStatus, as both this service and the endpoint
// listing's probe read it.
enum ServingStatus : std::uint8_t {
  kHealthUnknown = 0,
  kHealthServing = 1,
  kHealthNotServing = 2,
  kHealthServiceUnknown = 3
};

class HealthService final : public grpc::Service {
 public:
  HealthService();

  // From now on the empty name is NOT_SERVING, and every Watch sends that
  // and ends, so that none holds up the server's shutdown.
  void Shutdown();

 private:
  grpc::Status Check(grpc::ServerContext* context, const grpc::ByteBuffer* request,
                     grpc::ByteBuffer* reply);
  grpc::Status Watch(grpc::ServerContext* context, const grpc::ByteBuffer* request,
                     grpc::ServerWriter<grpc::ByteBuffer>* writer);

  Base::Mutex mu_;
  Base::CondVar stopped_;
  bool serving_ ABSL_GUARDED_BY(mu_) = true;
};

}  // namespace Norv::ServiceModel::internal

#endif  // NORV_PLATFORM_PIPES_HEALTHSERVICE_H_
