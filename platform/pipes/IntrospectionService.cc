#include "platform/pipes/IntrospectionService.h"

#include <unistd.h>

#include <chrono>
#include <utility>

#include "norv/contracts/v1/introspection.grpc.pb.h"
#include "services/ShutdownRegistry.h"

namespace Norv::ServiceModel::internal {

namespace {

std::int64_t UnixMs(std::chrono::system_clock::time_point when) {
  if (when == std::chrono::system_clock::time_point{}) return 0;
  return std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
}

v1::ShutdownAnswer WireAnswer(ShutdownAnswer answer) {
  switch (answer) {
    case ShutdownAnswer::kNone:
      return v1::SHUTDOWN_ANSWER_NONE;
    case ShutdownAnswer::kAgreed:
      return v1::SHUTDOWN_ANSWER_AGREED;
    case ShutdownAnswer::kRefused:
      return v1::SHUTDOWN_ANSWER_REFUSED;
    case ShutdownAnswer::kFailed:
      return v1::SHUTDOWN_ANSWER_FAILED;
    case ShutdownAnswer::kTimedOut:
      return v1::SHUTDOWN_ANSWER_TIMED_OUT;
  }
  return v1::SHUTDOWN_ANSWER_NONE;
}

grpc::Status Describe(const HostCore& core, const std::string& endpoint, v1::DescribeReply* reply) {
  try {
    reply->set_server_pid(static_cast<std::int32_t>(::getpid()));
    reply->set_endpoint(endpoint);
    for (const PeerIdentity& peer : core.Connections()) {
      v1::PeerConnection* out = reply->add_connections();
      out->set_pid(peer.pid);
      out->set_uid(peer.uid);
      out->set_process_name(peer.processName);
      out->set_connected_unix_ms(UnixMs(peer.connectedAt));
    }
    // The registry is read without the dispatch mutex: it keeps its own
    // lock, and a walk in progress must not hold this answer up.
    if (auto* view = dynamic_cast<const IShutdownRegistryView*>(core.Instance())) {
      reply->set_has_registry(true);
      for (const ShutdownSubscriberRecord& record : view->Records()) {
        v1::ShutdownSubscriber* out = reply->add_subscribers();
        out->set_key(record.key);
        out->set_pid(record.pid);
        out->set_uid(record.uid);
        out->set_process_name(record.processName);
        out->set_connected(record.connected);
        out->set_subscribed_unix_ms(UnixMs(record.subscribedAt));
        out->set_last_answer(WireAnswer(record.lastAnswer));
        out->set_answered_unix_ms(UnixMs(record.answeredAt));
      }
    }
    reply->set_socket_path_replaced(core.SocketPathReplaced());
    return grpc::Status::OK;
  } catch (const std::exception& e) {
    return grpc::Status(grpc::StatusCode::INTERNAL,
                        core.Site() + ": describing the endpoint failed: " + e.what());
  }
}

class SyncIntrospection final : public v1::Introspection::Service {
 public:
  SyncIntrospection(std::shared_ptr<HostCore> core, std::string endpoint)
      : core_(std::move(core)), endpoint_(std::move(endpoint)) {}
  grpc::Status Describe(grpc::ServerContext*, const v1::DescribeRequest*,
                        v1::DescribeReply* reply) override {
    return internal::Describe(*core_, endpoint_, reply);
  }

 private:
  std::shared_ptr<HostCore> core_;
  std::string endpoint_;
};

class CallbackIntrospection final : public v1::Introspection::CallbackService {
 public:
  CallbackIntrospection(std::shared_ptr<HostCore> core, std::string endpoint)
      : core_(std::move(core)), endpoint_(std::move(endpoint)) {}
  grpc::ServerUnaryReactor* Describe(grpc::CallbackServerContext* context,
                                     const v1::DescribeRequest*,
                                     v1::DescribeReply* reply) override {
    grpc::ServerUnaryReactor* reactor = context->DefaultReactor();
    reactor->Finish(internal::Describe(*core_, endpoint_, reply));
    return reactor;
  }

 private:
  std::shared_ptr<HostCore> core_;
  std::string endpoint_;
};

}  // namespace

std::unique_ptr<grpc::Service> MakeIntrospectionService(std::shared_ptr<HostCore> core,
                                                        std::string endpoint, bool callback) {
  if (callback)
    return std::make_unique<CallbackIntrospection>(std::move(core), std::move(endpoint));
  return std::make_unique<SyncIntrospection>(std::move(core), std::move(endpoint));
}

}  // namespace Norv::ServiceModel::internal
