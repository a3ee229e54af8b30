// The data-service members of MirnDataService: each converts its strings,
// makes one call on the data-service channel of the process it names and
// converts the answer. Nothing is caught here except in LogOn, which swallows
// every failure by design (but never a thread's cancellation).
#include "norv/interop/MirnDataService.h"

#include <unistd.h>

#include "base/SwallowFailures.h"
#include "conversion/Conversion.h"
#include "dataservice/DataServiceChannel.h"
#include "services/Diagnostics.h"
#include "services/NamedPipeServiceHost.h"

namespace Norv::MirnDataService::Interop {

namespace {

using Norv::Interop::ConvertList;
using Norv::Interop::NativeShortDate;
using Norv::Interop::NativeString;
using Norv::Interop::RecordAt;
using Norv::Interop::ToServiceString;
using ServiceModel::NamedPipeServiceHost;
using ServiceModel::TypeOf;
using ServiceModel::Contracts::Data::DateTimeResultSet;
using ServiceModel::Contracts::Service::IDataService;

}  // namespace

std::shared_ptr<IDataService> GetDataService(int pid) {
  return NamedPipeServiceHost::GetSingleChannel<IDataService>(pid, TypeOf<IDataService>());
}

MirnDataService& MirnDataService::operator=(const MirnDataService& other) { return *this; }

void MirnDataService::LogOn(char* projectPath, char* user, char* password, char* author) {
  int pid = static_cast<int>(::getpid());
  // Whether the log-on succeeded is not reported, by design.
  Base::SwallowFailures(
      [&] {
        std::shared_ptr<IDataService> channel = GetDataService(pid);
        ServiceString project = ToServiceString(projectPath);
        ServiceString userName = ToServiceString(user);
        ServiceString secret = ToServiceString(password);
        ServiceString authorName = ToServiceString(author);
        channel->LogOn(project, userName, secret, authorName);
      },
      [pid](const std::exception* failure) {
        ServiceModel::ReportSwallowed(ServiceModel::DiagnosticKind::kLogOnFailed,
                                      "MirnDataService::LogOn", pid, failure);
      });
}

bool MirnDataService::IsProjectAdmin(char* projectPath, char* userName, char* password, int pid) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  return channel->IsProjectAdmin(project, user, secret);
}

bool MirnDataService::IsUserRestricted(char* projectPath, char* userName, char* password, int pid) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  return channel->IsUserRestricted(project, user, secret);
}

bool MirnDataService::IsDatabaseCanBeConnected(char* projectPath, char* userName, char* password,
                                               int pid) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  return channel->IsDatabaseCanBeConnected(project, user, secret);
}

std::vector<std::string> MirnDataService::GetAuthors(char* projectPath, char* userName,
                                                     char* password, int pid) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  return ConvertList<std::string>(
      channel->GetAuthors(project, user, secret), "GetAuthors",
      [](const ServiceString& author, std::size_t) { return NativeString(author); });
}

double MirnDataService::GetForecastEUR(char* projectPath, char* userName, char* password, int pid,
                                       int boreholeId, char* templateName, char* author) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  ServiceString templateText = ToServiceString(templateName);
  ServiceString authorName = ToServiceString(author);
  return channel->GetForecastEUR(project, user, secret, boreholeId, templateText, authorName);
}

double MirnDataService::GetForecastReserve(char* projectPath, char* userName, char* password,
                                           int pid, int boreholeId, char* templateName,
                                           char* author) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  ServiceString templateText = ToServiceString(templateName);
  ServiceString authorName = ToServiceString(author);
  return channel->GetForecastReserve(project, user, secret, boreholeId, templateText, authorName);
}

std::string MirnDataService::GetForecastLife(char* projectPath, char* userName, char* password,
                                             int pid, int boreholeId, char* templateName,
                                             char* author) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  ServiceString templateText = ToServiceString(templateName);
  ServiceString authorName = ToServiceString(author);
  return NativeShortDate(
      channel->GetForecastLife(project, user, secret, boreholeId, templateText, authorName));
}

std::vector<NativeDoubleKeyValuePair> MirnDataService::GetForecastEURList(
    char* projectPath, char* userName, char* password, int pid, char* forecastName, char* author) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  ServiceString forecast = ToServiceString(forecastName);
  ServiceString authorName = ToServiceString(author);
  return ConvertToNativeDoubleKeyValuePair(
      channel->GetForecastEURList(project, user, secret, forecast, authorName),
      "GetForecastEURList");
}

std::vector<NativeDoubleKeyValuePair> MirnDataService::GetForecastReserveList(
    char* projectPath, char* userName, char* password, int pid, char* forecastName, char* author) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  ServiceString forecast = ToServiceString(forecastName);
  ServiceString authorName = ToServiceString(author);
  return ConvertToNativeDoubleKeyValuePair(
      channel->GetForecastReserveList(project, user, secret, forecast, authorName),
      "GetForecastReserveList");
}

std::vector<NativeStringKeyValuePair> MirnDataService::GetForecastLifeList(
    char* projectPath, char* userName, char* password, int pid, char* forecastName, char* author) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  ServiceString forecast = ToServiceString(forecastName);
  ServiceString authorName = ToServiceString(author);
  return ConvertList<NativeStringKeyValuePair>(
      channel->GetForecastLifeList(project, user, secret, forecast, authorName),
      "GetForecastLifeList", [](const std::optional<DateTimeResultSet>& record, std::size_t i) {
        const DateTimeResultSet& life = RecordAt(record, "GetForecastLifeList", i);
        return NativeStringKeyValuePair{life.Id(), NativeShortDate(life.Value())};
      });
}

std::vector<int> MirnDataService::GetBoreholeIdsWithForecast(char* projectPath, char* userName,
                                                             char* password, int pid,
                                                             char* templateName, char* author) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  ServiceString templateText = ToServiceString(templateName);
  ServiceString authorName = ToServiceString(author);
  return ConvertList<int>(
      channel->GetBoreholeIdsWithForecast(project, user, secret, templateText, authorName),
      "GetBoreholeIdsWithForecast",
      [](std::int32_t boreholeId, std::size_t) { return boreholeId; });
}

std::vector<NativeStringKeyValuePair> MirnDataService::GetForecastTemplatesByAuthor(
    char* projectPath, char* userName, char* password, int pid, char* author) {
  std::shared_ptr<IDataService> channel = GetDataService(pid);
  ServiceString project = ToServiceString(projectPath);
  ServiceString user = ToServiceString(userName);
  ServiceString secret = ToServiceString(password);
  ServiceString authorName = ToServiceString(author);
  return ConvertToNativeStringKeyValuePair(
      channel->GetForecastTemplatesByAuthor(project, user, secret, authorName),
      "GetForecastTemplatesByAuthor");
}

}  // namespace Norv::MirnDataService::Interop
