// IDataService: the data service contract. A channel obtained from the
// component implements it by calling the service; a service object hosted by
// the component implements it by answering. A channel may be used from
// several threads at once; a hosted service object is called from the
// host's threads, several operations at a time, and must be thread-safe.
//
// Through a channel every operation raises the exceptions of
// ServiceErrors.h (see NamedPipeServiceHost::GetSingleChannel). A service
// object raises what it likes: the caller receives a FaultException whose
// Reason() is the exception's what().
#ifndef NORV_SERVICES_I_DATA_SERVICE_H_
#define NORV_SERVICES_I_DATA_SERVICE_H_

#include <cstdint>
#include <string_view>

#include "Collection.h"
#include "ContractType.h"
#include "DateTime.h"
#include "PlatformExport.h"
#include "ResultSets.h"
#include "ServiceString.h"

namespace Norv::ServiceModel::Contracts::Service {

class NORV_PLATFORM_API IDataService : public virtual IServiceContract {
 public:
  static constexpr std::string_view kContractName =
      "Norv.ServiceModel.Contracts.Service.IDataService";

  using String = ::Norv::ServiceString;

  virtual void LogOn(const String& projectPath, const String& user, const String& password,
                     const String& author) = 0;
  virtual bool IsProjectAdmin(const String& projectPath, const String& userName,
                              const String& password) = 0;
  virtual bool IsUserRestricted(const String& projectPath, const String& userName,
                                const String& password) = 0;
  virtual bool IsDatabaseCanBeConnected(const String& projectPath, const String& userName,
                                        const String& password) = 0;
  virtual Collection<String> GetAuthors(const String& projectPath, const String& userName,
                                        const String& password) = 0;

  virtual double GetForecastEUR(const String& projectPath, const String& userName,
                                const String& password, std::int32_t boreholeId,
                                const String& templateName, const String& author) = 0;
  virtual double GetForecastReserve(const String& projectPath, const String& userName,
                                    const String& password, std::int32_t boreholeId,
                                    const String& templateName, const String& author) = 0;
  virtual DateTime GetForecastLife(const String& projectPath, const String& userName,
                                   const String& password, std::int32_t boreholeId,
                                   const String& templateName, const String& author) = 0;

  virtual Data::DoubleResultSetCollection GetForecastEURList(const String& projectPath,
                                                             const String& userName,
                                                             const String& password,
                                                             const String& forecastName,
                                                             const String& author) = 0;
  virtual Data::DoubleResultSetCollection GetForecastReserveList(const String& projectPath,
                                                                 const String& userName,
                                                                 const String& password,
                                                                 const String& forecastName,
                                                                 const String& author) = 0;
  virtual Data::DateTimeResultSetCollection GetForecastLifeList(const String& projectPath,
                                                                const String& userName,
                                                                const String& password,
                                                                const String& forecastName,
                                                                const String& author) = 0;
  virtual Collection<std::int32_t> GetBoreholeIdsWithForecast(const String& projectPath,
                                                              const String& userName,
                                                              const String& password,
                                                              const String& templateName,
                                                              const String& author) = 0;
  virtual Data::StringResultSetCollection GetForecastTemplatesByAuthor(const String& projectPath,
                                                                       const String& userName,
                                                                       const String& password,
                                                                       const String& author) = 0;
};

}  // namespace Norv::ServiceModel::Contracts::Service

#endif  // NORV_SERVICES_I_DATA_SERVICE_H_
