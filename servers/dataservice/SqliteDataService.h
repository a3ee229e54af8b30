// SqliteDataService: the reference data service. It answers the IDataService
// contract from a project database (see ProjectDatabase.h), so that the
// bridge and the command line have a real service to talk to.
//
// Every operation checks the caller's project, user and password. A password
// is checked against its slow Argon2id hash once; after that a keyed hash of
// project, user, password and stored hash is remembered for a while, so that
// queries do not pay the slow hash each time (changing the stored hash
// forgets it at once). A password encrypted with CustomPassword is accepted
// in place of the plain one. Failures raise DataServiceFault, whose text the
// component hands to the caller as the fault's reason.
//
// Queries use read-only connections with a busy time-out, each used by one
// thread at a time and pooled between calls; only LogOn writes (one
// autocommitted row). The pooled connections, and the user rows that
// IsProjectAdmin and IsUserRestricted answer from without a query, are used
// only while a DatabaseWatch has seen nothing happen to the file or its path;
// after that, the file's identity and the rows are read afresh. So a change
// or a replaced file finished before a call is always seen by that call.
// Thread-safety: all operations may run concurrently.
#ifndef NORV_SERVERS_DATASERVICE_SQLITE_DATA_SERVICE_H_
#define NORV_SERVERS_DATASERVICE_SQLITE_DATA_SERVICE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "services/IDataService.h"

namespace Norv::Servers {

// A fault of the reference data service: wrong credentials, an unknown
// project, user, author, template or forecast, or a database that cannot be
// used. The text says which, naming the project and the database file.
class DataServiceFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DataServiceOptions {
  // How long a query waits for a writer to finish before it fails.
  std::chrono::milliseconds busyTimeout{5000};
  // How long verified credentials are remembered.
  std::chrono::seconds credentialLifetime{300};
  // The most credentials remembered at once (the oldest are forgotten first).
  std::size_t maxRememberedCredentials = 1024;
  // How many slow hash checks may run at once; each may take tens of MiB.
  int concurrentSlowChecks = 2;
  // The clock for credential lifetimes; steady_clock::now when empty.
  std::function<std::chrono::steady_clock::time_point()> clock;
};

class SqliteDataService final : public ServiceModel::Contracts::Service::IDataService {
 public:
  // Serves the project database `database`. Opens nothing yet: a missing or
  // broken database is reported by the operations (and by
  // IsDatabaseCanBeConnected as false).
  explicit SqliteDataService(std::filesystem::path database, DataServiceOptions options = {});
  ~SqliteDataService() override;

  const std::filesystem::path& Database() const noexcept;
  // Raises DataServiceFault unless the database opens as a project database;
  // for a server that wants to fail at start rather than on every call.
  void CheckDatabase();
  // How many times a password has been checked against its slow hash.
  std::uint64_t SlowChecks() const noexcept;

  void LogOn(const String& projectPath, const String& user, const String& password,
             const String& author) override;
  bool IsProjectAdmin(const String& projectPath, const String& userName,
                      const String& password) override;
  bool IsUserRestricted(const String& projectPath, const String& userName,
                        const String& password) override;
  bool IsDatabaseCanBeConnected(const String& projectPath, const String& userName,
                                const String& password) override;
  Collection<String> GetAuthors(const String& projectPath, const String& userName,
                                const String& password) override;

  double GetForecastEUR(const String& projectPath, const String& userName, const String& password,
                        std::int32_t boreholeId, const String& templateName,
                        const String& author) override;
  double GetForecastReserve(const String& projectPath, const String& userName,
                            const String& password, std::int32_t boreholeId,
                            const String& templateName, const String& author) override;
  DateTime GetForecastLife(const String& projectPath, const String& userName,
                           const String& password, std::int32_t boreholeId,
                           const String& templateName, const String& author) override;

  ServiceModel::Contracts::Data::DoubleResultSetCollection GetForecastEURList(
      const String& projectPath, const String& userName, const String& password,
      const String& forecastName, const String& author) override;
  ServiceModel::Contracts::Data::DoubleResultSetCollection GetForecastReserveList(
      const String& projectPath, const String& userName, const String& password,
      const String& forecastName, const String& author) override;
  ServiceModel::Contracts::Data::DateTimeResultSetCollection GetForecastLifeList(
      const String& projectPath, const String& userName, const String& password,
      const String& forecastName, const String& author) override;
  Collection<std::int32_t> GetBoreholeIdsWithForecast(const String& projectPath,
                                                      const String& userName,
                                                      const String& password,
                                                      const String& templateName,
                                                      const String& author) override;
  ServiceModel::Contracts::Data::StringResultSetCollection GetForecastTemplatesByAuthor(
      const String& projectPath, const String& userName, const String& password,
      const String& author) override;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace Norv::Servers

#endif  // NORV_SERVERS_DATASERVICE_SQLITE_DATA_SERVICE_H_
