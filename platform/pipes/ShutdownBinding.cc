// The binding of the duplex shutdown contract IShutdown: its operation
// table, the server adapter that opens one session reactor per client
// stream, and how a session call reaches the hosted service object. The
// client side of a session is DuplexClient.cc; the session's callback
// channel is ShutdownCallbackChannel (ServerSession.h).
#include <memory>
#include <stdexcept>
#include <utility>

#include "norv/contracts/v1/shutdown.grpc.pb.h"
#include "platform/pipes/ContractBinding.h"
#include "platform/pipes/ServerSession.h"

namespace Norv::ServiceModel::internal {

namespace {

using Contracts::Service::IShutdown;

class ShutdownAdapter final : public v1::Shutdown::CallbackService {
 public:
  explicit ShutdownAdapter(std::shared_ptr<HostCore> core) : core_(std::move(core)) {}

  grpc::ServerBidiReactor<v1::ClientMessage, v1::ServerMessage>* Session(
      grpc::CallbackServerContext* context) override {
    return new SessionReactor(core_, *context);
  }

 private:
  std::shared_ptr<HostCore> core_;
};

void RunShutdownCall(IServiceContract* instance, const v1::OperationCall& call) {
  auto* service = dynamic_cast<IShutdown*>(instance);
  if (service == nullptr) throw std::logic_error("the service object does not serve IShutdown");
  switch (call.operation_case()) {
    case v1::OperationCall::kSubscribe:
      service->Subscribe(call.subscribe().key());
      break;
    case v1::OperationCall::kUnsubscribe:
      service->Unsubscribe(call.unsubscribe().key());
      break;
    case v1::OperationCall::kPing:
      service->Ping();
      break;
    default:
      throw std::invalid_argument("the call names no operation of IShutdown");
  }
}

}  // namespace

void AnswerShutdownCallback(Contracts::Service::IShutdownCallback& callback,
                            const v1::CallbackCall& call, v1::CallbackReply* reply) {
  reply->set_id(call.id());
  try {
    switch (call.operation_case()) {
      case v1::CallbackCall::kRequestShutdown:
        reply->set_accepted(callback.RequestShutdown());
        break;
      case v1::CallbackCall::kForceShutdown:
        callback.ForceShutdown();
        break;
      default:
        throw std::invalid_argument("the callback names no operation of IShutdownCallback");
    }
  } catch (...) {
    reply->mutable_fault()->set_message(FaultMessage("the callback"));
  }
}

const ContractBinding& ShutdownBinding() {
  // Never destroyed, like every binding table: a host may open at exit.
  static const Base::NoDestructor<ContractBinding> binding(ContractBinding{
      IShutdown::kContractName,
      {"Subscribe", "Unsubscribe", "Ping"},
      &Implements<IShutdown>,
      [](const std::shared_ptr<HostCore>& core, ItemLimits) -> std::unique_ptr<grpc::Service> {
        core->ServeSessionCalls(&RunShutdownCall);
        return std::make_unique<ShutdownAdapter>(core);
      },
      /*duplex=*/true,
  });
  return *binding;
}

}  // namespace Norv::ServiceModel::internal
