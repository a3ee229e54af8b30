// The binding of the application launcher contract IApplicationLauncher:
// its operation table, the server adapter that serves a hosted launcher, and
// the client proxy behind GetSingleChannel<IApplicationLauncher>.
#include <memory>
#include <string>
#include <utility>

#include "norv/contracts/v1/application_launcher.grpc.pb.h"
#include "platform/pipes/ClientChannel.h"
#include "platform/pipes/ContractBinding.h"

namespace Norv::ServiceModel {

namespace internal {

namespace {

namespace v1 = norv::contracts::v1;
using Contracts::Service::IApplicationLauncher;

// ---------------------------------------------------------------------------
// Server adapter: wire messages in, contract calls on the service object,
// wire messages out.

class ApplicationLauncherAdapter final : public v1::ApplicationLauncher::Service {
 public:
  ApplicationLauncherAdapter(HostCore& core, ItemLimits limits)
      : core_(core),
        service_(dynamic_cast<IApplicationLauncher*>(core.Instance())),
        limits_(std::move(limits)) {}

  grpc::Status LogOn(grpc::ServerContext*, const v1::LogOnRequest* request, v1::Empty*) override {
    return core_.Unary(limits_, "LogOn", [&](std::int64_t) {
      service_->LogOn(NORV_ARG(project_path), NORV_ARG(user), NORV_ARG(password), NORV_ARG(author));
    });
  }
  grpc::Status LaunchTrasko(grpc::ServerContext*, const v1::Empty*, v1::Empty*) override {
    return core_.Unary(limits_, "LaunchTrasko", [&](std::int64_t) { service_->LaunchTrasko(); });
  }
  grpc::Status LaunchWendal(grpc::ServerContext*, const v1::Empty*, v1::Empty*) override {
    return core_.Unary(limits_, "LaunchWendal", [&](std::int64_t) { service_->LaunchWendal(); });
  }
  grpc::Status LaunchOrbisk(grpc::ServerContext*, const v1::Empty*, v1::Empty*) override {
    return core_.Unary(limits_, "LaunchOrbisk", [&](std::int64_t) { service_->LaunchOrbisk(); });
  }

 private:
  HostCore& core_;
  IApplicationLauncher* service_;
  ItemLimits limits_;
};

// ---------------------------------------------------------------------------
// Client proxy: contract calls in, wire calls to the endpoint.

class ApplicationLauncherChannel final : public IApplicationLauncher, private ChannelBase {
 public:
  ApplicationLauncherChannel(std::int32_t pid, std::string name)
      : ChannelBase(pid, std::move(name)) {}

  void LogOn(const String& projectPath, const String& user, const String& password,
             const String& author) override {
    v1::LogOnRequest request;
    NORV_SET_STRING(request, project_path, projectPath);
    NORV_SET_STRING(request, user, user);
    NORV_SET_STRING(request, password, password);
    NORV_SET_STRING(request, author, author);
    v1::Empty reply;
    Invoke(kApplicationLauncherStub, &v1::ApplicationLauncher::Stub::PrepareAsyncLogOn, "LogOn",
           request, &reply);
  }
  void LaunchTrasko() override {
    Launch(&v1::ApplicationLauncher::Stub::PrepareAsyncLaunchTrasko, "LaunchTrasko");
  }
  void LaunchWendal() override {
    Launch(&v1::ApplicationLauncher::Stub::PrepareAsyncLaunchWendal, "LaunchWendal");
  }
  void LaunchOrbisk() override {
    Launch(&v1::ApplicationLauncher::Stub::PrepareAsyncLaunchOrbisk, "LaunchOrbisk");
  }

 private:
  void Launch(PrepareUnary<v1::ApplicationLauncher::Stub, v1::Empty, v1::Empty> rpc,
              const char* operation) {
    v1::Empty request;
    v1::Empty reply;
    Invoke(kApplicationLauncherStub, rpc, operation, request, &reply);
  }
};

}  // namespace

template <>
struct ChannelOf<IApplicationLauncher> {
  using type = ApplicationLauncherChannel;
};

const ContractBinding& ApplicationLauncherBinding() {
  static const ContractBinding binding = {
      IApplicationLauncher::kContractName,
      {"LogOn", "LaunchTrasko", "LaunchWendal", "LaunchOrbisk"},
      [](IServiceContract* s) { return dynamic_cast<IApplicationLauncher*>(s) != nullptr; },
      [](const std::shared_ptr<HostCore>& core,
         ItemLimits limits) -> std::unique_ptr<grpc::Service> {
        return std::make_unique<ApplicationLauncherAdapter>(*core, std::move(limits));
      },
      /*duplex=*/false,
  };
  return binding;
}

}  // namespace internal

using internal::IApplicationLauncher;

template std::shared_ptr<IApplicationLauncher>
    NamedPipeServiceHost::GetSingleChannel<IApplicationLauncher>(std::int32_t, std::string_view);
template std::shared_ptr<IApplicationLauncher>
    NamedPipeServiceHost::GetSingleChannel<IApplicationLauncher>(std::int32_t, ContractType);

}  // namespace Norv::ServiceModel
