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

class ApplicationLauncherAdapter final
    : public UnaryAdapter<IApplicationLauncher, v1::ApplicationLauncher::Service> {
 public:
  using UnaryAdapter::UnaryAdapter;

  grpc::Status LogOn(grpc::ServerContext*, const v1::LogOnRequest* request, v1::Empty*) override {
    return Run("LogOn", [&](std::int64_t) {
      service_->LogOn(NORV_ARG(project_path), NORV_ARG(user), NORV_ARG(password), NORV_ARG(author));
    });
  }
  grpc::Status LaunchTrasko(grpc::ServerContext*, const v1::Empty*, v1::Empty*) override {
    return Run("LaunchTrasko", [&](std::int64_t) { service_->LaunchTrasko(); });
  }
  grpc::Status LaunchWendal(grpc::ServerContext*, const v1::Empty*, v1::Empty*) override {
    return Run("LaunchWendal", [&](std::int64_t) { service_->LaunchWendal(); });
  }
  grpc::Status LaunchOrbisk(grpc::ServerContext*, const v1::Empty*, v1::Empty*) override {
    return Run("LaunchOrbisk", [&](std::int64_t) { service_->LaunchOrbisk(); });
  }
};

// ---------------------------------------------------------------------------
// Client proxy: contract calls in, wire calls to the endpoint.

class ApplicationLauncherChannel final : public IApplicationLauncher, private ChannelBase {
 public:
  ApplicationLauncherChannel(std::int32_t pid, std::string name)
      : ChannelBase(pid, std::move(name)) {}

  void LogOn(const String& projectPath, const String& user, const String& password,
             const String& author) override {
    v1::Empty reply;
    Invoke(kApplicationLauncherStub, &v1::ApplicationLauncher::Stub::PrepareAsyncLogOn, "LogOn",
           LogOnToWire(projectPath, user, password, author), &reply);
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
  // Never destroyed, like every binding table: a host may open at exit.
  static const Base::NoDestructor<ContractBinding> binding(ContractBinding{
      IApplicationLauncher::kContractName,
      {"LogOn", "LaunchTrasko", "LaunchWendal", "LaunchOrbisk"},
      &Implements<IApplicationLauncher>,
      &MakeAdapter<ApplicationLauncherAdapter>,
      /*duplex=*/false,
  });
  return *binding;
}

}  // namespace internal

using internal::IApplicationLauncher;

template std::shared_ptr<IApplicationLauncher>
    NamedPipeServiceHost::GetSingleChannel<IApplicationLauncher>(std::int32_t, std::string_view);
template std::shared_ptr<IApplicationLauncher>
    NamedPipeServiceHost::GetSingleChannel<IApplicationLauncher>(std::int32_t, ContractType);

}  // namespace Norv::ServiceModel
