// Client channels: proxies that implement the C++ contracts by calling the
// endpoint over gRPC, and the cache of one connection per endpoint behind
// them.
//
// A cached connection is used only while gRPC reports it ready; anything
// else (the service went away, restarted, the connection went idle) makes
// the next call open a fresh channel with its own subchannel pool, so it
// never waits out gRPC's reconnect back-off. A failed call is never sent
// again.
#include <grpcpp/grpcpp.h>

#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "norv/contracts/v1/application_launcher.grpc.pb.h"
#include "norv/contracts/v1/data_service.grpc.pb.h"
#include "platform/pipes/Addressing.h"
#include "platform/pipes/Runtime.h"
#include "platform/pipes/WireValues.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::ServiceModel {

namespace internal {

namespace {

namespace v1 = norv::contracts::v1;
using Contracts::Service::IApplicationLauncher;
using Contracts::Service::IDataService;
namespace Data = Contracts::Data;

struct Connection {
  explicit Connection(std::shared_ptr<grpc::Channel> c) : channel(c), data(c), launcher(c) {}
  std::shared_ptr<grpc::Channel> channel;
  v1::DataService::Stub data;
  v1::ApplicationLauncher::Stub launcher;
};

class ConnectionCache {
 public:
  // A ready connection to the socket at `path`, cached or new. Raises the
  // component's exceptions when none can be made.
  std::shared_ptr<Connection> Get(const std::string& dir, const std::string& path,
                                  const std::string& where) {
    {
      std::lock_guard lock(mu_);
      auto it = connections_.find(path);
      if (it != connections_.end()) {
        std::shared_ptr<Connection> cached = it->second;
        if (cached->channel->GetState(false) == GRPC_CHANNEL_READY) return cached;
        connections_.erase(it);
      }
    }
    // The directory decides which peer a new connection reaches, so it is
    // checked whenever one is made; a connection already made keeps its
    // peer whatever happens to the directory later, and checking it again
    // on every call cost a tenth of the call.
    CheckEndpointDirectory(dir, /*create=*/false, where);
    CheckSocketPathLength(path, where);
    // Fail at once when nobody listens: waiting out the connect time-out
    // would only delay the same answer.
    switch (ProbeSocket(path)) {
      case ProbeResult::kNobody:
        throw EndpointNotFoundException(where + ": nobody is listening on " + path);
      case ProbeResult::kRefused:
        throw AddressAccessDeniedException(where + ": the socket " + path + " cannot be used");
      case ProbeResult::kListening:
        break;
    }
    auto fresh = std::make_shared<Connection>(NewChannel(path));
    ConnectChannel(*fresh->channel, path, where);
    std::lock_guard lock(mu_);
    auto [it, inserted] = connections_.try_emplace(path, fresh);
    if (!inserted) {
      if (it->second->channel->GetState(false) == GRPC_CHANNEL_READY) return it->second;
      it->second = fresh;
    }
    return fresh;
  }

  // Forgets `connection` if it is still the cached one for `path`.
  void Drop(const std::string& path, const std::shared_ptr<Connection>& connection) {
    std::lock_guard lock(mu_);
    auto it = connections_.find(path);
    if (it != connections_.end() && it->second == connection) connections_.erase(it);
  }

 private:
  std::mutex mu_;
  std::unordered_map<std::string, std::shared_ptr<Connection>> connections_;
};

// Never destroyed: process exit must not tear down channels while gRPC's own
// threads may still be running.
ConnectionCache& Cache() {
  static ConnectionCache* cache = new ConnectionCache;
  return *cache;
}

class ChannelBase {
 protected:
  ChannelBase(std::int32_t pid, std::string name) : pid_(pid), name_(std::move(name)) {}

  std::string Where(const char* operation) const {
    return Site(pid_, name_) + ", operation " + operation;
  }

  template <class Stub, class Request, class Reply>
  void Invoke(Stub Connection::*stub,
              grpc::Status (Stub::*rpc)(grpc::ClientContext*, const Request&, Reply*),
              const char* operation, const Request& request, Reply* reply) const {
    std::string dir = EndpointDirectory();
    std::string path = SocketPath(dir, pid_, name_);
    std::shared_ptr<Connection> connection = Cache().Get(dir, path, Where(operation));
    Timeouts timeouts = CurrentTimeouts();
    grpc::ClientContext context;
    context.set_deadline(DeadlineAfter(timeouts.call));
    Stub& stubOf = (*connection).*stub;
    grpc::Status status = (stubOf.*rpc)(&context, request, reply);
    if (status.ok()) return;
    switch (status.error_code()) {
      case grpc::StatusCode::UNKNOWN:  // the service's fault
      case grpc::StatusCode::RESOURCE_EXHAUSTED:
      case grpc::StatusCode::DEADLINE_EXCEEDED:
        break;
      default:
        Cache().Drop(path, connection);
    }
    ThrowForStatus(status, Where(operation), timeouts.call);
  }

  // Runs a decoder, turning a malformed reply into CommunicationException.
  template <class Decode>
  auto Decoded(const char* operation, Decode decode) const {
    try {
      return decode();
    } catch (const MalformedMessage& e) {
      throw CommunicationException(Where(operation) + ": the reply is malformed: " + e.what());
    }
  }

  std::int32_t pid_;
  std::string name_;
};

// Sets an optional string field unless the value is null (absent on the wire).
#define NORV_SET_STRING(message, field, value) \
  if (!(value).IsNull()) (message).set_##field((value).ToUtf8())

class DataServiceChannel final : public IDataService, private ChannelBase {
 public:
  DataServiceChannel(std::int32_t pid, std::string name) : ChannelBase(pid, std::move(name)) {}

  void LogOn(const String& projectPath, const String& user, const String& password,
             const String& author) override {
    v1::LogOnRequest request;
    NORV_SET_STRING(request, project_path, projectPath);
    NORV_SET_STRING(request, user, user);
    NORV_SET_STRING(request, password, password);
    NORV_SET_STRING(request, author, author);
    v1::Empty reply;
    Invoke(&Connection::data, &v1::DataService::Stub::LogOn, "LogOn", request, &reply);
  }

  bool IsProjectAdmin(const String& projectPath, const String& userName,
                      const String& password) override {
    return AskBool(&v1::DataService::Stub::IsProjectAdmin, "IsProjectAdmin", projectPath, userName,
                   password);
  }
  bool IsUserRestricted(const String& projectPath, const String& userName,
                        const String& password) override {
    return AskBool(&v1::DataService::Stub::IsUserRestricted, "IsUserRestricted", projectPath,
                   userName, password);
  }
  bool IsDatabaseCanBeConnected(const String& projectPath, const String& userName,
                                const String& password) override {
    return AskBool(&v1::DataService::Stub::IsDatabaseCanBeConnected, "IsDatabaseCanBeConnected",
                   projectPath, userName, password);
  }

  Collection<String> GetAuthors(const String& projectPath, const String& userName,
                                const String& password) override {
    v1::CredentialsRequest request = Credentials(projectPath, userName, password);
    v1::StringListReply reply;
    Invoke(&Connection::data, &v1::DataService::Stub::GetAuthors, "GetAuthors", request, &reply);
    if (!reply.has_value()) return std::nullopt;
    return Decoded("GetAuthors", [&] { return StringsFromWire(reply.value()); });
  }

  double GetForecastEUR(const String& projectPath, const String& userName, const String& password,
                        std::int32_t boreholeId, const String& templateName,
                        const String& author) override {
    v1::DoubleReply reply;
    Invoke(&Connection::data, &v1::DataService::Stub::GetForecastEUR, "GetForecastEUR",
           Forecast(projectPath, userName, password, boreholeId, templateName, author), &reply);
    return reply.value();
  }
  double GetForecastReserve(const String& projectPath, const String& userName,
                            const String& password, std::int32_t boreholeId,
                            const String& templateName, const String& author) override {
    v1::DoubleReply reply;
    Invoke(&Connection::data, &v1::DataService::Stub::GetForecastReserve, "GetForecastReserve",
           Forecast(projectPath, userName, password, boreholeId, templateName, author), &reply);
    return reply.value();
  }
  DateTime GetForecastLife(const String& projectPath, const String& userName,
                           const String& password, std::int32_t boreholeId,
                           const String& templateName, const String& author) override {
    v1::DateTimeReply reply;
    Invoke(&Connection::data, &v1::DataService::Stub::GetForecastLife, "GetForecastLife",
           Forecast(projectPath, userName, password, boreholeId, templateName, author), &reply);
    if (!reply.has_value()) {
      throw CommunicationException(Where("GetForecastLife") +
                                   ": the reply is malformed: it carries no date-time value");
    }
    return Decoded("GetForecastLife", [&] { return DateTimeFromWire(reply.value()); });
  }

  Data::DoubleResultSetCollection GetForecastEURList(const String& projectPath,
                                                     const String& userName, const String& password,
                                                     const String& forecastName,
                                                     const String& author) override {
    return DoubleList(&v1::DataService::Stub::GetForecastEURList, "GetForecastEURList",
                      ForecastList(projectPath, userName, password, forecastName, author));
  }
  Data::DoubleResultSetCollection GetForecastReserveList(const String& projectPath,
                                                         const String& userName,
                                                         const String& password,
                                                         const String& forecastName,
                                                         const String& author) override {
    return DoubleList(&v1::DataService::Stub::GetForecastReserveList, "GetForecastReserveList",
                      ForecastList(projectPath, userName, password, forecastName, author));
  }
  Data::DateTimeResultSetCollection GetForecastLifeList(const String& projectPath,
                                                        const String& userName,
                                                        const String& password,
                                                        const String& forecastName,
                                                        const String& author) override {
    v1::DateTimeResultSetListReply reply;
    Invoke(&Connection::data, &v1::DataService::Stub::GetForecastLifeList, "GetForecastLifeList",
           ForecastList(projectPath, userName, password, forecastName, author), &reply);
    if (!reply.has_value()) return std::nullopt;
    return Decoded("GetForecastLifeList", [&] { return DateTimeResultsFromWire(reply.value()); });
  }

  Collection<std::int32_t> GetBoreholeIdsWithForecast(const String& projectPath,
                                                      const String& userName,
                                                      const String& password,
                                                      const String& templateName,
                                                      const String& author) override {
    v1::TemplateRequest request;
    NORV_SET_STRING(request, project_path, projectPath);
    NORV_SET_STRING(request, user_name, userName);
    NORV_SET_STRING(request, password, password);
    NORV_SET_STRING(request, template_name, templateName);
    NORV_SET_STRING(request, author, author);
    v1::Int32ListReply reply;
    Invoke(&Connection::data, &v1::DataService::Stub::GetBoreholeIdsWithForecast,
           "GetBoreholeIdsWithForecast", request, &reply);
    if (!reply.has_value()) return std::nullopt;
    return Int32sFromWire(reply.value());
  }

  Data::StringResultSetCollection GetForecastTemplatesByAuthor(const String& projectPath,
                                                               const String& userName,
                                                               const String& password,
                                                               const String& author) override {
    v1::AuthorRequest request;
    NORV_SET_STRING(request, project_path, projectPath);
    NORV_SET_STRING(request, user_name, userName);
    NORV_SET_STRING(request, password, password);
    NORV_SET_STRING(request, author, author);
    v1::StringResultSetListReply reply;
    Invoke(&Connection::data, &v1::DataService::Stub::GetForecastTemplatesByAuthor,
           "GetForecastTemplatesByAuthor", request, &reply);
    if (!reply.has_value()) return std::nullopt;
    return Decoded("GetForecastTemplatesByAuthor",
                   [&] { return StringResultsFromWire(reply.value()); });
  }

 private:
  using Stub = v1::DataService::Stub;

  static v1::CredentialsRequest Credentials(const String& projectPath, const String& userName,
                                            const String& password) {
    v1::CredentialsRequest request;
    NORV_SET_STRING(request, project_path, projectPath);
    NORV_SET_STRING(request, user_name, userName);
    NORV_SET_STRING(request, password, password);
    return request;
  }

  static v1::ForecastRequest Forecast(const String& projectPath, const String& userName,
                                      const String& password, std::int32_t boreholeId,
                                      const String& templateName, const String& author) {
    v1::ForecastRequest request;
    NORV_SET_STRING(request, project_path, projectPath);
    NORV_SET_STRING(request, user_name, userName);
    NORV_SET_STRING(request, password, password);
    request.set_borehole_id(boreholeId);
    NORV_SET_STRING(request, template_name, templateName);
    NORV_SET_STRING(request, author, author);
    return request;
  }

  static v1::ForecastListRequest ForecastList(const String& projectPath, const String& userName,
                                              const String& password, const String& forecastName,
                                              const String& author) {
    v1::ForecastListRequest request;
    NORV_SET_STRING(request, project_path, projectPath);
    NORV_SET_STRING(request, user_name, userName);
    NORV_SET_STRING(request, password, password);
    NORV_SET_STRING(request, forecast_name, forecastName);
    NORV_SET_STRING(request, author, author);
    return request;
  }

  bool AskBool(grpc::Status (Stub::*rpc)(grpc::ClientContext*, const v1::CredentialsRequest&,
                                         v1::BoolReply*),
               const char* operation, const String& projectPath, const String& userName,
               const String& password) {
    v1::BoolReply reply;
    Invoke(&Connection::data, rpc, operation, Credentials(projectPath, userName, password), &reply);
    return reply.value();
  }

  Data::DoubleResultSetCollection DoubleList(
      grpc::Status (Stub::*rpc)(grpc::ClientContext*, const v1::ForecastListRequest&,
                                v1::DoubleResultSetListReply*),
      const char* operation, const v1::ForecastListRequest& request) {
    v1::DoubleResultSetListReply reply;
    Invoke(&Connection::data, rpc, operation, request, &reply);
    if (!reply.has_value()) return std::nullopt;
    return Decoded(operation, [&] { return DoubleResultsFromWire(reply.value()); });
  }
};

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
    Invoke(&Connection::launcher, &v1::ApplicationLauncher::Stub::LogOn, "LogOn", request, &reply);
  }
  void LaunchTrasko() override {
    Launch(&v1::ApplicationLauncher::Stub::LaunchTrasko, "LaunchTrasko");
  }
  void LaunchWendal() override {
    Launch(&v1::ApplicationLauncher::Stub::LaunchWendal, "LaunchWendal");
  }
  void LaunchOrbisk() override {
    Launch(&v1::ApplicationLauncher::Stub::LaunchOrbisk, "LaunchOrbisk");
  }

 private:
  void Launch(grpc::Status (v1::ApplicationLauncher::Stub::*rpc)(grpc::ClientContext*,
                                                                 const v1::Empty&, v1::Empty*),
              const char* operation) {
    v1::Empty request;
    v1::Empty reply;
    Invoke(&Connection::launcher, rpc, operation, request, &reply);
  }
};

#undef NORV_SET_STRING

std::string EndpointNameOf(ContractType contractType, ContractType expected) {
  if (contractType != expected) {
    throw std::invalid_argument("a channel of contract " + std::string(expected.fullName) +
                                " cannot be made for contract " +
                                std::string(contractType.fullName));
  }
  return std::string(contractType.fullName);
}

std::string CheckedName(std::string_view name) {
  EncodeEndpointName(name);  // rejects the empty name
  return std::string(name);
}

std::shared_ptr<IDataService> MakeChannel(std::int32_t pid, std::string name, IDataService*) {
  return std::make_shared<DataServiceChannel>(pid, std::move(name));
}

std::shared_ptr<IApplicationLauncher> MakeChannel(std::int32_t pid, std::string name,
                                                  IApplicationLauncher*) {
  return std::make_shared<ApplicationLauncherChannel>(pid, std::move(name));
}

}  // namespace

}  // namespace internal

template <class T>
std::shared_ptr<T> NamedPipeServiceHost::GetSingleChannel(std::int32_t pid, std::string_view name) {
  return internal::MakeChannel(pid, internal::CheckedName(name), static_cast<T*>(nullptr));
}

template <class T>
std::shared_ptr<T> NamedPipeServiceHost::GetSingleChannel(std::int32_t pid,
                                                          ContractType contractType) {
  return internal::MakeChannel(pid, internal::EndpointNameOf(contractType, TypeOf<T>()),
                               static_cast<T*>(nullptr));
}

template std::shared_ptr<Contracts::Service::IDataService>
    NamedPipeServiceHost::GetSingleChannel<Contracts::Service::IDataService>(std::int32_t,
                                                                             std::string_view);
template std::shared_ptr<Contracts::Service::IDataService>
    NamedPipeServiceHost::GetSingleChannel<Contracts::Service::IDataService>(std::int32_t,
                                                                             ContractType);
template std::shared_ptr<Contracts::Service::IApplicationLauncher>
    NamedPipeServiceHost::GetSingleChannel<Contracts::Service::IApplicationLauncher>(
        std::int32_t, std::string_view);
template std::shared_ptr<Contracts::Service::IApplicationLauncher>
    NamedPipeServiceHost::GetSingleChannel<Contracts::Service::IApplicationLauncher>(std::int32_t,
                                                                                     ContractType);

}  // namespace Norv::ServiceModel
