// The list of contract bindings: the one place that names every contract the
// component can host and call.
#include "norv/contracts/v1/application_launcher.grpc.pb.h"
#include "norv/contracts/v1/data_service.grpc.pb.h"
#include "platform/pipes/ClientChannel.h"
#include "platform/pipes/ContractBinding.h"

namespace Norv::ServiceModel::internal {

namespace {

template <class Stub>
std::unique_ptr<AnyStub> MakeStub(const std::shared_ptr<grpc::Channel>& channel) {
  return std::make_unique<StubOf<Stub>>(channel);
}

}  // namespace

const std::array<StubMaker, kStubSlots> kStubMakers = {
    &MakeStub<norv::contracts::v1::DataService::Stub>,
    &MakeStub<norv::contracts::v1::ApplicationLauncher::Stub>,
};

const std::vector<const ContractBinding*>& ContractBindings() {
  // Never destroyed: a host may still open, or look a contract up, at exit.
  static const Base::NoDestructor<std::vector<const ContractBinding*>> bindings(
      std::vector<const ContractBinding*>{&DataServiceBinding(), &ApplicationLauncherBinding(),
                                          &ShutdownBinding()});
  return *bindings;
}

const ContractBinding* FindContract(std::string_view name) {
  for (const ContractBinding* binding : ContractBindings()) {
    if (binding->name == name) return binding;
  }
  return nullptr;
}

}  // namespace Norv::ServiceModel::internal
