// The binding of the data service contract IDataService: its operation
// table, the server adapter that serves a hosted service object, and the
// client proxy behind NamedPipeServiceHost::GetSingleChannel<IDataService>.
// An operation added to the contract is added here, in IDataService.h and in
// data_service.proto, and nowhere else.
#include <memory>
#include <string>
#include <utility>

#include "norv/contracts/v1/data_service.grpc.pb.h"
#include "platform/pipes/ClientChannel.h"
#include "platform/pipes/ContractBinding.h"

namespace Norv::ServiceModel {

namespace internal {

namespace {

namespace v1 = norv::contracts::v1;
namespace Data = Contracts::Data;
using Contracts::Service::IDataService;

// ---------------------------------------------------------------------------
// Server adapter: wire messages in, contract calls on the service object,
// wire messages out.

class DataServiceAdapter final : public UnaryAdapter<IDataService, v1::DataService::Service> {
 public:
  using UnaryAdapter::UnaryAdapter;

  grpc::Status LogOn(grpc::ServerContext*, const v1::LogOnRequest* request, v1::Empty*) override {
    return Run("LogOn", [&](std::int64_t) {
      service_->LogOn(NORV_ARG(project_path), NORV_ARG(user), NORV_ARG(password), NORV_ARG(author));
    });
  }
  grpc::Status IsProjectAdmin(grpc::ServerContext*, const v1::CredentialsRequest* request,
                              v1::BoolReply* reply) override {
    return Run("IsProjectAdmin", [&](std::int64_t) {
      reply->set_value(service_->IsProjectAdmin(NORV_ARG(project_path), NORV_ARG(user_name),
                                                NORV_ARG(password)));
    });
  }
  grpc::Status IsUserRestricted(grpc::ServerContext*, const v1::CredentialsRequest* request,
                                v1::BoolReply* reply) override {
    return Run("IsUserRestricted", [&](std::int64_t) {
      reply->set_value(service_->IsUserRestricted(NORV_ARG(project_path), NORV_ARG(user_name),
                                                  NORV_ARG(password)));
    });
  }
  grpc::Status IsDatabaseCanBeConnected(grpc::ServerContext*, const v1::CredentialsRequest* request,
                                        v1::BoolReply* reply) override {
    return Run("IsDatabaseCanBeConnected", [&](std::int64_t) {
      reply->set_value(service_->IsDatabaseCanBeConnected(NORV_ARG(project_path),
                                                          NORV_ARG(user_name), NORV_ARG(password)));
    });
  }
  grpc::Status GetAuthors(grpc::ServerContext*, const v1::CredentialsRequest* request,
                          v1::StringListReply* reply) override {
    return RunList(
        "GetAuthors",
        [&] {
          return service_->GetAuthors(NORV_ARG(project_path), NORV_ARG(user_name),
                                      NORV_ARG(password));
        },
        StringsToWire, reply);
  }
  grpc::Status GetForecastEUR(grpc::ServerContext*, const v1::ForecastRequest* request,
                              v1::DoubleReply* reply) override {
    return Run("GetForecastEUR", [&](std::int64_t) {
      reply->set_value(service_->GetForecastEUR(NORV_ARG(project_path), NORV_ARG(user_name),
                                                NORV_ARG(password), request->borehole_id(),
                                                NORV_ARG(template_name), NORV_ARG(author)));
    });
  }
  grpc::Status GetForecastReserve(grpc::ServerContext*, const v1::ForecastRequest* request,
                                  v1::DoubleReply* reply) override {
    return Run("GetForecastReserve", [&](std::int64_t) {
      reply->set_value(service_->GetForecastReserve(NORV_ARG(project_path), NORV_ARG(user_name),
                                                    NORV_ARG(password), request->borehole_id(),
                                                    NORV_ARG(template_name), NORV_ARG(author)));
    });
  }
  grpc::Status GetForecastLife(grpc::ServerContext*, const v1::ForecastRequest* request,
                               v1::DateTimeReply* reply) override {
    return Run("GetForecastLife", [&](std::int64_t) {
      DateTimeToWire(service_->GetForecastLife(NORV_ARG(project_path), NORV_ARG(user_name),
                                               NORV_ARG(password), request->borehole_id(),
                                               NORV_ARG(template_name), NORV_ARG(author)),
                     reply->mutable_value());
    });
  }
  grpc::Status GetForecastEURList(grpc::ServerContext*, const v1::ForecastListRequest* request,
                                  v1::DoubleResultSetListReply* reply) override {
    return RunList(
        "GetForecastEURList",
        [&] {
          return service_->GetForecastEURList(NORV_ARG(project_path), NORV_ARG(user_name),
                                              NORV_ARG(password), NORV_ARG(forecast_name),
                                              NORV_ARG(author));
        },
        DoubleResultsToWire, reply);
  }
  grpc::Status GetForecastReserveList(grpc::ServerContext*, const v1::ForecastListRequest* request,
                                      v1::DoubleResultSetListReply* reply) override {
    return RunList(
        "GetForecastReserveList",
        [&] {
          return service_->GetForecastReserveList(NORV_ARG(project_path), NORV_ARG(user_name),
                                                  NORV_ARG(password), NORV_ARG(forecast_name),
                                                  NORV_ARG(author));
        },
        DoubleResultsToWire, reply);
  }
  grpc::Status GetForecastLifeList(grpc::ServerContext*, const v1::ForecastListRequest* request,
                                   v1::DateTimeResultSetListReply* reply) override {
    return RunList(
        "GetForecastLifeList",
        [&] {
          return service_->GetForecastLifeList(NORV_ARG(project_path), NORV_ARG(user_name),
                                               NORV_ARG(password), NORV_ARG(forecast_name),
                                               NORV_ARG(author));
        },
        DateTimeResultsToWire, reply);
  }
  grpc::Status GetBoreholeIdsWithForecast(grpc::ServerContext*, const v1::TemplateRequest* request,
                                          v1::Int32ListReply* reply) override {
    return RunList(
        "GetBoreholeIdsWithForecast",
        [&] {
          return service_->GetBoreholeIdsWithForecast(NORV_ARG(project_path), NORV_ARG(user_name),
                                                      NORV_ARG(password), NORV_ARG(template_name),
                                                      NORV_ARG(author));
        },
        Int32sToWire, reply);
  }
  grpc::Status GetForecastTemplatesByAuthor(grpc::ServerContext*, const v1::AuthorRequest* request,
                                            v1::StringResultSetListReply* reply) override {
    return RunList(
        "GetForecastTemplatesByAuthor",
        [&] {
          return service_->GetForecastTemplatesByAuthor(NORV_ARG(project_path), NORV_ARG(user_name),
                                                        NORV_ARG(password), NORV_ARG(author));
        },
        StringResultsToWire, reply);
  }
};

// ---------------------------------------------------------------------------
// Client proxy: contract calls in, wire calls to the endpoint.

class DataServiceChannel final : public IDataService, private ChannelBase {
 public:
  DataServiceChannel(std::int32_t pid, std::string name) : ChannelBase(pid, std::move(name)) {}

  void LogOn(const String& projectPath, const String& user, const String& password,
             const String& author) override {
    v1::Empty reply;
    Invoke(kDataServiceStub, &v1::DataService::Stub::PrepareAsyncLogOn, "LogOn",
           LogOnToWire(projectPath, user, password, author), &reply);
  }

  bool IsProjectAdmin(const String& projectPath, const String& userName,
                      const String& password) override {
    return AskBool(&v1::DataService::Stub::PrepareAsyncIsProjectAdmin, "IsProjectAdmin",
                   projectPath, userName, password);
  }
  bool IsUserRestricted(const String& projectPath, const String& userName,
                        const String& password) override {
    return AskBool(&v1::DataService::Stub::PrepareAsyncIsUserRestricted, "IsUserRestricted",
                   projectPath, userName, password);
  }
  bool IsDatabaseCanBeConnected(const String& projectPath, const String& userName,
                                const String& password) override {
    return AskBool(&v1::DataService::Stub::PrepareAsyncIsDatabaseCanBeConnected,
                   "IsDatabaseCanBeConnected", projectPath, userName, password);
  }

  Collection<String> GetAuthors(const String& projectPath, const String& userName,
                                const String& password) override {
    v1::CredentialsRequest request = Credentials(projectPath, userName, password);
    v1::StringListReply reply;
    Invoke(kDataServiceStub, &v1::DataService::Stub::PrepareAsyncGetAuthors, "GetAuthors", request,
           &reply);
    if (!reply.has_value()) return std::nullopt;
    return Decoded("GetAuthors", [&] { return StringsFromWire(reply.value()); });
  }

  double GetForecastEUR(const String& projectPath, const String& userName, const String& password,
                        std::int32_t boreholeId, const String& templateName,
                        const String& author) override {
    v1::DoubleReply reply;
    Invoke(kDataServiceStub, &v1::DataService::Stub::PrepareAsyncGetForecastEUR, "GetForecastEUR",
           Forecast(projectPath, userName, password, boreholeId, templateName, author), &reply);
    return reply.value();
  }
  double GetForecastReserve(const String& projectPath, const String& userName,
                            const String& password, std::int32_t boreholeId,
                            const String& templateName, const String& author) override {
    v1::DoubleReply reply;
    Invoke(kDataServiceStub, &v1::DataService::Stub::PrepareAsyncGetForecastReserve,
           "GetForecastReserve",
           Forecast(projectPath, userName, password, boreholeId, templateName, author), &reply);
    return reply.value();
  }
  DateTime GetForecastLife(const String& projectPath, const String& userName,
                           const String& password, std::int32_t boreholeId,
                           const String& templateName, const String& author) override {
    v1::DateTimeReply reply;
    Invoke(kDataServiceStub, &v1::DataService::Stub::PrepareAsyncGetForecastLife, "GetForecastLife",
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
    return DoubleList(&v1::DataService::Stub::PrepareAsyncGetForecastEURList, "GetForecastEURList",
                      ForecastList(projectPath, userName, password, forecastName, author));
  }
  Data::DoubleResultSetCollection GetForecastReserveList(const String& projectPath,
                                                         const String& userName,
                                                         const String& password,
                                                         const String& forecastName,
                                                         const String& author) override {
    return DoubleList(&v1::DataService::Stub::PrepareAsyncGetForecastReserveList,
                      "GetForecastReserveList",
                      ForecastList(projectPath, userName, password, forecastName, author));
  }
  Data::DateTimeResultSetCollection GetForecastLifeList(const String& projectPath,
                                                        const String& userName,
                                                        const String& password,
                                                        const String& forecastName,
                                                        const String& author) override {
    v1::DateTimeResultSetListReply reply;
    Invoke(kDataServiceStub, &v1::DataService::Stub::PrepareAsyncGetForecastLifeList,
           "GetForecastLifeList",
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
    Invoke(kDataServiceStub, &v1::DataService::Stub::PrepareAsyncGetBoreholeIdsWithForecast,
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
    Invoke(kDataServiceStub, &v1::DataService::Stub::PrepareAsyncGetForecastTemplatesByAuthor,
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

  bool AskBool(PrepareUnary<Stub, v1::CredentialsRequest, v1::BoolReply> rpc, const char* operation,
               const String& projectPath, const String& userName, const String& password) {
    v1::BoolReply reply;
    Invoke(kDataServiceStub, rpc, operation, Credentials(projectPath, userName, password), &reply);
    return reply.value();
  }

  Data::DoubleResultSetCollection DoubleList(
      PrepareUnary<Stub, v1::ForecastListRequest, v1::DoubleResultSetListReply> rpc,
      const char* operation, const v1::ForecastListRequest& request) {
    v1::DoubleResultSetListReply reply;
    Invoke(kDataServiceStub, rpc, operation, request, &reply);
    if (!reply.has_value()) return std::nullopt;
    return Decoded(operation, [&] { return DoubleResultsFromWire(reply.value()); });
  }
};

}  // namespace

template <>
struct ChannelOf<IDataService> {
  using type = DataServiceChannel;
};

const ContractBinding& DataServiceBinding() {
  // Never destroyed, like every binding table: a host may open at exit.
  static const Base::NoDestructor<ContractBinding> binding(ContractBinding{
      IDataService::kContractName,
      {"LogOn", "IsProjectAdmin", "IsUserRestricted", "IsDatabaseCanBeConnected", "GetAuthors",
       "GetForecastEUR", "GetForecastReserve", "GetForecastLife", "GetForecastEURList",
       "GetForecastReserveList", "GetForecastLifeList", "GetBoreholeIdsWithForecast",
       "GetForecastTemplatesByAuthor"},
      &Implements<IDataService>,
      &MakeAdapter<DataServiceAdapter>,
      /*duplex=*/false,
  });
  return *binding;
}

}  // namespace internal

using internal::IDataService;

template std::shared_ptr<IDataService> NamedPipeServiceHost::GetSingleChannel<IDataService>(
    std::int32_t, std::string_view);
template std::shared_ptr<IDataService> NamedPipeServiceHost::GetSingleChannel<IDataService>(
    std::int32_t, ContractType);

}  // namespace Norv::ServiceModel
