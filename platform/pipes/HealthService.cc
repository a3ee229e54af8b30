#include "platform/pipes/HealthService.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>
#include <grpcpp/impl/rpc_service_method.h>
#include <grpcpp/support/method_handler.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/pipes/Runtime.h"

namespace Norv::ServiceModel::internal {
namespace {

using google::protobuf::internal::WireFormatLite;

// How often a Watch looks whether its caller has gone; a closing host ends
// every Watch at once.
constexpr std::chrono::milliseconds kWatchPoll{100};

// HealthCheckRequest { string service = 1; }
std::optional<std::string> ParseServiceName(const std::string& bytes) {
  google::protobuf::io::CodedInputStream in(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            static_cast<int>(bytes.size()));
  std::string service;
  while (std::uint32_t tag = in.ReadTag()) {
    if (tag == WireFormatLite::MakeTag(1, WireFormatLite::WIRETYPE_LENGTH_DELIMITED)) {
      if (!WireFormatLite::ReadString(&in, &service)) return std::nullopt;
    } else if (!WireFormatLite::SkipField(&in, tag)) {
      return std::nullopt;
    }
  }
  if (!in.ConsumedEntireMessage()) return std::nullopt;
  return service;
}

// HealthCheckResponse { ServingStatus status = 1; }
grpc::ByteBuffer Response(ServingStatus status) {
  const char bytes[] = {
      static_cast<char>(WireFormatLite::MakeTag(1, WireFormatLite::WIRETYPE_VARINT)),
      static_cast<char>(status)};
  return Buffer(std::string(bytes, sizeof bytes));
}

grpc::Status Malformed() {
  return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                      "the request is not a grpc.health.v1.HealthCheckRequest");
}

}  // namespace

HealthService::HealthService() {
  AddMethod(new grpc::internal::RpcServiceMethod(
      "/grpc.health.v1.Health/Check", grpc::internal::RpcMethod::NORMAL_RPC,
      new grpc::internal::RpcMethodHandler<HealthService, grpc::ByteBuffer, grpc::ByteBuffer>(
          [](HealthService* service, grpc::ServerContext* context, const grpc::ByteBuffer* request,
             grpc::ByteBuffer* reply) { return service->Check(context, request, reply); },
          this)));
  AddMethod(new grpc::internal::RpcServiceMethod(
      "/grpc.health.v1.Health/Watch", grpc::internal::RpcMethod::SERVER_STREAMING,
      new grpc::internal::ServerStreamingHandler<HealthService, grpc::ByteBuffer, grpc::ByteBuffer>(
          [](HealthService* service, grpc::ServerContext* context, const grpc::ByteBuffer* request,
             grpc::ServerWriter<grpc::ByteBuffer>* writer) {
            return service->Watch(context, request, writer);
          },
          this)));
}

void HealthService::Shutdown() {
  Base::MutexLock lock(&mu_);
  serving_ = false;
  stopped_.SignalAll();
}

grpc::Status HealthService::Check(grpc::ServerContext*, const grpc::ByteBuffer* request,
                                  grpc::ByteBuffer* reply) {
  std::optional<std::string> service = ParseServiceName(Bytes(*request));
  if (!service) return Malformed();
  if (!service->empty()) return grpc::Status(grpc::StatusCode::NOT_FOUND, "unknown service");
  Base::MutexLock lock(&mu_);
  *reply = Response(serving_ ? kHealthServing : kHealthNotServing);
  return grpc::Status::OK;
}

grpc::Status HealthService::Watch(grpc::ServerContext* context, const grpc::ByteBuffer* request,
                                  grpc::ServerWriter<grpc::ByteBuffer>* writer) {
  std::optional<std::string> service = ParseServiceName(Bytes(*request));
  if (!service) return Malformed();
  const bool known = service->empty();
  Base::MutexLock lock(&mu_);
  if (!known || serving_) {
    lock.Unlock();
    if (!writer->Write(Response(known ? kHealthServing : kHealthServiceUnknown)))
      return grpc::Status::OK;
    lock.Lock();
  }
  while (serving_ && !context->IsCancelled()) {
    stopped_.WaitFor(&mu_, kWatchPoll,
                     [this]() ABSL_EXCLUSIVE_LOCKS_REQUIRED(mu_) { return !serving_; });
  }
  lock.Unlock();
  if (known && !context->IsCancelled()) writer->Write(Response(kHealthNotServing));
  return grpc::Status::OK;
}

}  // namespace Norv::ServiceModel::internal
