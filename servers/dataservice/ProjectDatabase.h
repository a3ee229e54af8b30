// The project database of the reference data service: its schema, and a
// writer that creates a database and fills it (the demo generator and the
// tests use it; the service itself only reads, apart from recording
// log-ons).
//
// Thread-safety: a ProjectWriter belongs to one thread. Any number of
// readers in other threads or processes may use the database while a writer
// works; they wait (busy time-out) while it commits.
#ifndef NORV_SERVERS_DATASERVICE_PROJECT_DATABASE_H_
#define NORV_SERVERS_DATASERVICE_PROJECT_DATABASE_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "services/DateTime.h"

namespace Norv::Servers {

// Marks a file as a project database ("NORV") and names its schema.
inline constexpr std::int32_t kProjectApplicationId = 0x4E4F5256;
inline constexpr std::int32_t kProjectSchemaVersion = 1;

// How much work and memory a stored password hash (Argon2id) costs to check.
// kInteractive is libsodium's interactive level (about 64 MiB, a tenth of a
// second): for real projects. kMinimal is the least libsodium accepts: for
// tests and benchmarks only.
enum class PasswordHashCost { kInteractive, kMinimal };

class ProjectWriter {
 public:
  // Opens `path` for writing, creating the file and the schema if there is
  // no file yet. Raises if the file exists but is not a project database.
  explicit ProjectWriter(const std::filesystem::path& path);
  ~ProjectWriter();
  ProjectWriter(const ProjectWriter&) = delete;
  ProjectWriter& operator=(const ProjectWriter&) = delete;

  // Groups the following changes into one transaction (much faster for bulk
  // writes); Commit ends it. Without Begin every change commits at once.
  void Begin();
  void Commit();

  std::int64_t AddProject(std::string_view path, std::string_view name);
  std::int64_t AddUser(std::int64_t projectId, std::string_view name, std::string_view password,
                       bool isAdmin, bool isRestricted,
                       PasswordHashCost cost = PasswordHashCost::kInteractive);
  void SetPassword(std::int64_t userId, std::string_view password,
                   PasswordHashCost cost = PasswordHashCost::kInteractive);
  void SetUserFlags(std::int64_t userId, bool isAdmin, bool isRestricted);
  std::int64_t AddAuthor(std::int64_t projectId, std::string_view name);
  void AddBorehole(std::int64_t projectId, std::int32_t boreholeId, std::string_view name);
  std::int32_t AddTemplate(std::int64_t authorId, std::string_view name);
  void SetForecast(std::int32_t templateId, std::int32_t boreholeId, double eur, double reserve,
                   const DateTime& life);
  std::int64_t AddNamedForecast(std::int64_t authorId, std::string_view name);
  // Appends an entry; entries are answered in the order they were added.
  void AddNamedForecastEntry(std::int64_t namedForecastId, std::int32_t boreholeId, double eur,
                             double reserve, const DateTime& life);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The Argon2id hash string of `password` at `cost`.
std::string HashPassword(std::string_view password, PasswordHashCost cost);

namespace internal {

// Dates are stored as "YYYY-MM-DD HH:MM:SS" (the time may be left off).
std::string DateTimeToText(const DateTime& value);
std::optional<DateTime> DateTimeFromText(std::string_view text);

}  // namespace internal

}  // namespace Norv::Servers

#endif  // NORV_SERVERS_DATASERVICE_PROJECT_DATABASE_H_
