#include "servers/dataservice/SqliteDataService.h"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <semaphore>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/Mutex.h"
#include "servers/dataservice/DatabaseWatch.h"
#include "servers/dataservice/ProjectDatabase.h"
#include "servers/dataservice/Sqlite.h"
#include "services/CustomPassword.h"

namespace Norv::Servers {

namespace {

using internal::Connection;
using internal::SqliteError;
using ServiceModel::Contracts::Data::DateTimeResultSet;
using ServiceModel::Contracts::Data::DateTimeResultSetCollection;
using ServiceModel::Contracts::Data::DoubleResultSet;
using ServiceModel::Contracts::Data::DoubleResultSetCollection;
using ServiceModel::Contracts::Data::StringResultSet;
using ServiceModel::Contracts::Data::StringResultSetCollection;

constexpr std::size_t kMaxIdleConnections = 8;

std::string Quote(std::string_view text) { return "\"" + std::string(text) + "\""; }

// The ids a caller's credentials resolve to, and the user's flags.
struct Caller {
  std::string project;
  std::int64_t projectId = 0;
  std::int64_t userId = 0;
  bool isAdmin = false;
  bool isRestricted = false;
};

// What the database holds on one user of one project.
struct UserRow {
  std::int64_t projectId = 0;
  std::int64_t userId = 0;
  std::string storedHash;
  bool isAdmin = false;
  bool isRestricted = false;
};

// The three kinds of value stored per forecast.
enum class Quantity { kEur, kReserve, kLife };

const char* QuantityName(Quantity quantity) {
  switch (quantity) {
    case Quantity::kEur:
      return "EUR";
    case Quantity::kReserve:
      return "reserve";
    case Quantity::kLife:
      return "life";
  }
  return "value";
}

// Raises a fault for SQLite failures that escape `body`, whose text already
// names the database file.
template <class Body>
auto Faulting(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const SqliteError& e) {
    throw DataServiceFault(e.what());
  }
}

}  // namespace

class SqliteDataService::Impl {
 public:
  Impl(std::filesystem::path database, DataServiceOptions options)
      : path_(std::filesystem::absolute(std::move(database))),
        options_(std::move(options)),
        watch_(path_),
        slowCheckSlots_(std::clamp(options_.concurrentSlowChecks, 1, 64)) {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
    randombytes_buf(key_, sizeof key_);
    if (!options_.clock) options_.clock = [] { return std::chrono::steady_clock::now(); };
  }

  ~Impl() { sodium_memzero(key_, sizeof key_); }

  // A pooled read-only connection, returned to the pool when the lease ends.
  class Lease {
   public:
    Lease(Impl* impl, std::unique_ptr<Connection> connection, std::pair<dev_t, ino_t> identity)
        : impl_(impl), connection_(std::move(connection)), identity_(identity) {}
    ~Lease() { impl_->Return(std::move(connection_), identity_); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Connection& operator*() const noexcept { return *connection_; }

   private:
    Impl* impl_;
    std::unique_ptr<Connection> connection_;
    std::pair<dev_t, ino_t> identity_;
  };

  Lease Checkout() { return Checkout(watch_.Generation()); }

  // `generation` is the watch's, read before this call.
  Lease Checkout(std::uint64_t generation) {
    {
      // Nothing has happened to the file since its identity was last
      // checked: the pooled connections still read the file at the path.
      Base::MutexLock lock(&poolMutex_);
      if (generation == poolGeneration_) {
        if (auto connection = TakeIdle()) return Lease(this, std::move(connection), poolIdentity_);
      }
    }
    // A database file replaced or removed since the pooled connections were
    // opened must not be read through them: compare the file's identity.
    struct stat status;
    if (::stat(path_.c_str(), &status) != 0) {
      int error = errno;
      throw DataServiceFault("cannot open database " + path_.string() + ": " +
                             std::strerror(error));
    }
    std::pair<dev_t, ino_t> identity{status.st_dev, status.st_ino};
    {
      Base::MutexLock lock(&poolMutex_);
      if (identity != poolIdentity_) {
        idle_.clear();
        poolIdentity_ = identity;
      }
      poolGeneration_ = std::max(poolGeneration_, generation);
      if (auto connection = TakeIdle()) return Lease(this, std::move(connection), identity);
    }
    return Lease(this, OpenChecked(), identity);
  }

  // An idle pooled connection, or null.
  std::unique_ptr<Connection> TakeIdle() ABSL_EXCLUSIVE_LOCKS_REQUIRED(poolMutex_) {
    if (idle_.empty()) return nullptr;
    std::unique_ptr<Connection> connection = std::move(idle_.back());
    idle_.pop_back();
    return connection;
  }

  // A fresh read-only connection to a file that is a project database.
  std::unique_ptr<Connection> OpenChecked() {
    return Faulting([&] {
      std::unique_ptr<Connection> connection;
      try {
        connection =
            std::make_unique<Connection>(path_, Connection::Mode::kReadOnly, options_.busyTimeout);
      } catch (const SqliteError& e) {
        throw DataServiceFault(e.what());
      }
      auto applicationId = connection->Prepare("PRAGMA application_id");
      applicationId.Step();
      if (applicationId.Int64(0) != kProjectApplicationId) {
        throw DataServiceFault("database " + path_.string() + " is not a project database");
      }
      auto version = connection->Prepare("PRAGMA user_version");
      version.Step();
      if (version.Int64(0) != kProjectSchemaVersion) {
        throw DataServiceFault("database " + path_.string() + " has schema version " +
                               std::to_string(version.Int64(0)) + "; this service reads version " +
                               std::to_string(kProjectSchemaVersion));
      }
      return connection;
    });
  }

  void Return(std::unique_ptr<Connection> connection, std::pair<dev_t, ino_t> identity) {
    Base::MutexLock lock(&poolMutex_);
    if (identity == poolIdentity_ && idle_.size() < kMaxIdleConnections) {
      idle_.push_back(std::move(connection));
    }
  }

  // Resolves and checks the caller's credentials on `db`.
  Caller Authenticate(Connection& db, const String& projectPath, const String& userName,
                      const String& password) {
    std::string project = projectPath.ToUtf8();
    std::string user = userName.ToUtf8();
    UserRow row = LookUp(db, project, user);
    return Check(std::move(project), user, row, password);
  }

  // Like Authenticate, but answers from the user rows already read while the
  // database has not changed since; for the questions that need nothing else
  // from the database.
  Caller AuthenticateFromMemory(const String& projectPath, const String& userName,
                                const String& password) {
    std::string project = projectPath.ToUtf8();
    std::string user = userName.ToUtf8();
    std::uint64_t generation = watch_.Generation();
    // Length first, so that no two (project, user) pairs share a key.
    std::string key = std::to_string(project.size()) + ":" + project + user;
    std::optional<UserRow> row;
    {
      Base::MutexLock lock(&rowsMutex_);
      if (generation == rowsGeneration_) {
        if (auto it = rows_.find(key); it != rows_.end()) row = it->second;
      }
    }
    if (!row) {
      {
        Lease db = Checkout(generation);
        row = LookUp(*db, project, user);
      }
      // A call that began before a change and finished after it keeps its
      // row to itself.
      Base::MutexLock lock(&rowsMutex_);
      if (generation > rowsGeneration_) {
        rows_.clear();
        rowsGeneration_ = generation;
      }
      if (generation == rowsGeneration_ &&
          rows_.size() < std::max<std::size_t>(options_.maxRememberedCredentials, 1)) {
        rows_.emplace(std::move(key), *row);
      }
    }
    return Check(std::move(project), user, *row, password);
  }

  UserRow LookUp(Connection& db, const std::string& project, const std::string& user) {
    auto query = db.Prepare(
        "SELECT p.project_id, u.user_id, u.password_hash, u.is_admin, u.is_restricted"
        " FROM projects p LEFT JOIN users u ON u.project_id = p.project_id AND u.name = ?2"
        " WHERE p.path = ?1");
    query.Bind(1, project).Bind(2, user);
    if (!query.Step()) {
      throw DataServiceFault("database " + path_.string() + " has no project " + Quote(project));
    }
    if (query.IsNull(1)) {
      throw DataServiceFault("project " + Quote(project) + " has no user " + Quote(user));
    }
    UserRow row;
    row.projectId = query.Int64(0);
    row.userId = query.Int64(1);
    row.storedHash = query.Text(2);
    row.isAdmin = query.Int64(3) != 0;
    row.isRestricted = query.Int64(4) != 0;
    return row;
  }

  // Checks `password` against the user's row: remembered, or the slow hash.
  Caller Check(std::string project, const std::string& user, const UserRow& row,
               const String& password) {
    Caller caller;
    caller.project = std::move(project);
    caller.projectId = row.projectId;
    caller.userId = row.userId;
    caller.isAdmin = row.isAdmin;
    caller.isRestricted = row.isRestricted;
    const std::string& storedHash = row.storedHash;
    std::string secret = password.ToUtf8();
    // A password may come encrypted (CustomPassword); it is checked, and
    // remembered, as the password it decrypts to. Text that only looks
    // encrypted is checked as it is.
    std::string decryptionFailure;
    if (Security::CustomPassword::IsEncryptedPassword(password)) {
      try {
        secret = Security::CustomPassword::DecryptPassword(password).ToUtf8();
      } catch (const std::exception& e) {
        decryptionFailure = e.what();
      }
    }
    std::string remembered = RememberKey(caller.project, user, secret, storedHash);
    if (IsRemembered(remembered)) return caller;
    if (!CheckSlowHash(storedHash, secret, user, caller.project)) {
      std::string message =
          "wrong password for user " + Quote(user) + " of project " + Quote(caller.project);
      if (!decryptionFailure.empty()) {
        message += " (it looks encrypted but cannot be decrypted: " + decryptionFailure + ")";
      }
      throw DataServiceFault(message);
    }
    Remember(std::move(remembered));
    return caller;
  }

  bool CheckSlowHash(const std::string& storedHash, const std::string& secret,
                     const std::string& user, const std::string& project) {
    if (crypto_pwhash_str_needs_rehash(storedHash.c_str(), crypto_pwhash_OPSLIMIT_MIN,
                                       crypto_pwhash_MEMLIMIT_MIN) == -1) {
      throw DataServiceFault("the stored password hash of user " + Quote(user) + " of project " +
                             Quote(project) + " is not valid");
    }
    slowCheckSlots_.acquire();
    struct Release {
      std::counting_semaphore<64>& slots;
      ~Release() { slots.release(); }
    } release{slowCheckSlots_};
    slowChecks_.fetch_add(1, std::memory_order_relaxed);
    return crypto_pwhash_str_verify(storedHash.c_str(), secret.data(), secret.size()) == 0;
  }

  // A keyed hash of everything the check depended on, so that the table of
  // remembered credentials holds no password and a new stored hash (a
  // password change) misses it.
  std::string RememberKey(std::string_view project, std::string_view user, std::string_view secret,
                          std::string_view storedHash) const {
    crypto_generichash_state state;
    crypto_generichash_init(&state, key_, sizeof key_, crypto_generichash_BYTES);
    for (std::string_view part : {project, user, secret, storedHash}) {
      unsigned char length[8];
      std::uint64_t size = part.size();
      for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(size >> (8 * i));
      crypto_generichash_update(&state, length, sizeof length);
      crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(part.data()),
                                part.size());
    }
    std::string digest(crypto_generichash_BYTES, '\0');
    crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(digest.data()),
                             digest.size());
    return digest;
  }

  bool IsRemembered(const std::string& key) {
    auto now = options_.clock();
    Base::MutexLock lock(&cacheMutex_);
    auto it = remembered_.find(key);
    if (it == remembered_.end()) return false;
    if (it->second > now) return true;
    remembered_.erase(it);
    return false;
  }

  void Remember(std::string key) {
    auto now = options_.clock();
    Base::MutexLock lock(&cacheMutex_);
    if (remembered_.size() >= std::max<std::size_t>(options_.maxRememberedCredentials, 1)) {
      std::erase_if(remembered_, [now](const auto& entry) { return entry.second <= now; });
    }
    if (remembered_.size() >= std::max<std::size_t>(options_.maxRememberedCredentials, 1)) {
      auto oldest =
          std::min_element(remembered_.begin(), remembered_.end(),
                           [](const auto& a, const auto& b) { return a.second < b.second; });
      remembered_.erase(oldest);
    }
    remembered_[std::move(key)] = now + options_.credentialLifetime;
  }

  std::int64_t AuthorId(Connection& db, const Caller& caller, const std::string& author) {
    auto query = db.Prepare("SELECT author_id FROM authors WHERE project_id = ?1 AND name = ?2");
    query.Bind(1, caller.projectId).Bind(2, author);
    if (!query.Step()) {
      throw DataServiceFault("project " + Quote(caller.project) + " has no author " +
                             Quote(author));
    }
    return query.Int64(0);
  }

  std::int64_t TemplateId(Connection& db, const Caller& caller, const String& templateName,
                          const String& author) {
    std::string authorText = author.ToUtf8();
    std::int64_t authorId = AuthorId(db, caller, authorText);
    std::string name = templateName.ToUtf8();
    auto query =
        db.Prepare("SELECT template_id FROM forecast_templates WHERE author_id = ?1 AND name = ?2");
    query.Bind(1, authorId).Bind(2, name);
    if (!query.Step()) {
      throw DataServiceFault("author " + Quote(authorText) + " of project " +
                             Quote(caller.project) + " has no forecast template " + Quote(name));
    }
    return query.Int64(0);
  }

  std::int64_t NamedForecastId(Connection& db, const Caller& caller, const String& forecastName,
                               const String& author) {
    std::string authorText = author.ToUtf8();
    std::int64_t authorId = AuthorId(db, caller, authorText);
    std::string name = forecastName.ToUtf8();
    auto query = db.Prepare(
        "SELECT named_forecast_id FROM named_forecasts WHERE author_id = ?1 AND name = ?2");
    query.Bind(1, authorId).Bind(2, name);
    if (!query.Step()) {
      throw DataServiceFault("author " + Quote(authorText) + " of project " +
                             Quote(caller.project) + " has no named forecast " + Quote(name));
    }
    return query.Int64(0);
  }

  DateTime LifeDate(std::string_view text, std::int64_t boreholeId) const {
    std::optional<DateTime> date = internal::DateTimeFromText(text);
    if (!date) {
      throw DataServiceFault("database " + path_.string() + ": the life date " + Quote(text) +
                             " of borehole " + std::to_string(boreholeId) + " is not a date");
    }
    return *date;
  }

  // One value of a template's forecast for a borehole.
  template <class Value>
  Value SingleValue(Quantity quantity, const String& projectPath, const String& userName,
                    const String& password, std::int32_t boreholeId, const String& templateName,
                    const String& author) {
    return Faulting([&]() -> Value {
      Lease db = Checkout();
      Caller caller = Authenticate(*db, projectPath, userName, password);
      std::int64_t templateId = TemplateId(*db, caller, templateName, author);
      auto query = (*db).Prepare(
          "SELECT eur, reserve, life_date FROM forecasts WHERE template_id = ?1 AND borehole_id = "
          "?2");
      query.Bind(1, templateId).Bind(2, std::int64_t{boreholeId});
      if (!query.Step()) {
        throw DataServiceFault("forecast template " + Quote(templateName.ToUtf8()) + " of author " +
                               Quote(author.ToUtf8()) + " in project " + Quote(caller.project) +
                               " has no " + QuantityName(quantity) + " for borehole " +
                               std::to_string(boreholeId));
      }
      if constexpr (std::is_same_v<Value, DateTime>) {
        return LifeDate(query.Text(2), boreholeId);
      } else {
        return query.Double(quantity == Quantity::kEur ? 0 : 1);
      }
    });
  }

  DoubleResultSetCollection DoubleList(Quantity quantity, const String& projectPath,
                                       const String& userName, const String& password,
                                       const String& forecastName, const String& author) {
    return Faulting([&] {
      Lease db = Checkout();
      Caller caller = Authenticate(*db, projectPath, userName, password);
      std::int64_t forecastId = NamedForecastId(*db, caller, forecastName, author);
      auto query = (*db).Prepare(
          "SELECT borehole_id, eur, reserve FROM named_forecast_entries"
          " WHERE named_forecast_id = ?1 ORDER BY position");
      query.Bind(1, forecastId);
      std::vector<std::optional<DoubleResultSet>> records;
      int column = quantity == Quantity::kEur ? 1 : 2;
      while (query.Step()) {
        records.emplace_back(
            DoubleResultSet(static_cast<std::int32_t>(query.Int64(0)), query.Double(column)));
      }
      return DoubleResultSetCollection(std::move(records));
    });
  }

  std::filesystem::path path_;
  DataServiceOptions options_;
  unsigned char key_[crypto_generichash_KEYBYTES];

  internal::DatabaseWatch watch_;

  Base::Mutex poolMutex_;
  std::pair<dev_t, ino_t> poolIdentity_ ABSL_GUARDED_BY(poolMutex_){};
  // The watch's generation when poolIdentity_ was last checked; 0 is none.
  std::uint64_t poolGeneration_ ABSL_GUARDED_BY(poolMutex_) = 0;
  std::vector<std::unique_ptr<Connection>> idle_ ABSL_GUARDED_BY(poolMutex_);

  // The user rows read at the watch's generation rowsGeneration_.
  Base::Mutex rowsMutex_;
  std::uint64_t rowsGeneration_ ABSL_GUARDED_BY(rowsMutex_) = 0;
  std::unordered_map<std::string, UserRow> rows_ ABSL_GUARDED_BY(rowsMutex_);

  Base::Mutex cacheMutex_;
  std::unordered_map<std::string, std::chrono::steady_clock::time_point> remembered_
      ABSL_GUARDED_BY(cacheMutex_);

  std::counting_semaphore<64> slowCheckSlots_;
  std::atomic<std::uint64_t> slowChecks_{0};
};

SqliteDataService::SqliteDataService(std::filesystem::path database, DataServiceOptions options)
    : impl_(std::make_unique<Impl>(std::move(database), std::move(options))) {}

SqliteDataService::~SqliteDataService() = default;

const std::filesystem::path& SqliteDataService::Database() const noexcept { return impl_->path_; }

void SqliteDataService::CheckDatabase() { impl_->Checkout(); }

std::uint64_t SqliteDataService::SlowChecks() const noexcept {
  return impl_->slowChecks_.load(std::memory_order_relaxed);
}

void SqliteDataService::LogOn(const String& projectPath, const String& user, const String& password,
                              const String& author) {
  Faulting([&] {
    Caller caller;
    std::string authorText = author.ToUtf8();
    {
      Impl::Lease db = impl_->Checkout();
      caller = impl_->Authenticate(*db, projectPath, user, password);
      // An empty author logs on without choosing one.
      if (!authorText.empty()) impl_->AuthorId(*db, caller, authorText);
    }
    // The only write of the service: one autocommitted row, so no write
    // transaction outlives the call.
    try {
      Connection writer(impl_->path_, Connection::Mode::kReadWrite, impl_->options_.busyTimeout);
      writer.Prepare("INSERT INTO logons (user_id, author) VALUES (?1, ?2)")
          .Bind(1, caller.userId)
          .Bind(2, authorText)
          .Run();
    } catch (const SqliteError& e) {
      throw DataServiceFault("cannot record the log-on of user " + Quote(user.ToUtf8()) +
                             " of project " + Quote(caller.project) + ": " + e.what());
    }
  });
}

bool SqliteDataService::IsProjectAdmin(const String& projectPath, const String& userName,
                                       const String& password) {
  return Faulting(
      [&] { return impl_->AuthenticateFromMemory(projectPath, userName, password).isAdmin; });
}

bool SqliteDataService::IsUserRestricted(const String& projectPath, const String& userName,
                                         const String& password) {
  return Faulting(
      [&] { return impl_->AuthenticateFromMemory(projectPath, userName, password).isRestricted; });
}

bool SqliteDataService::IsDatabaseCanBeConnected(const String& projectPath, const String& userName,
                                                 const String& password) {
  // Really tries the file with a connection of its own: a database that
  // cannot be opened or read answers false. Credentials are still checked,
  // like on every other call, once the database can be read.
  std::unique_ptr<Connection> db;
  try {
    db = impl_->OpenChecked();
  } catch (const DataServiceFault&) {
    return false;
  }
  return Faulting([&] {
    impl_->Authenticate(*db, projectPath, userName, password);
    return true;
  });
}

Collection<SqliteDataService::String> SqliteDataService::GetAuthors(const String& projectPath,
                                                                    const String& userName,
                                                                    const String& password) {
  return Faulting([&] {
    Impl::Lease db = impl_->Checkout();
    Caller caller = impl_->Authenticate(*db, projectPath, userName, password);
    auto query =
        (*db).Prepare("SELECT name FROM authors WHERE project_id = ?1 ORDER BY name, author_id");
    query.Bind(1, caller.projectId);
    std::vector<String> authors;
    while (query.Step()) authors.push_back(String::FromUtf8(query.Text(0)));
    return Collection<String>(std::move(authors));
  });
}

double SqliteDataService::GetForecastEUR(const String& projectPath, const String& userName,
                                         const String& password, std::int32_t boreholeId,
                                         const String& templateName, const String& author) {
  return impl_->SingleValue<double>(Quantity::kEur, projectPath, userName, password, boreholeId,
                                    templateName, author);
}

double SqliteDataService::GetForecastReserve(const String& projectPath, const String& userName,
                                             const String& password, std::int32_t boreholeId,
                                             const String& templateName, const String& author) {
  return impl_->SingleValue<double>(Quantity::kReserve, projectPath, userName, password, boreholeId,
                                    templateName, author);
}

DateTime SqliteDataService::GetForecastLife(const String& projectPath, const String& userName,
                                            const String& password, std::int32_t boreholeId,
                                            const String& templateName, const String& author) {
  return impl_->SingleValue<DateTime>(Quantity::kLife, projectPath, userName, password, boreholeId,
                                      templateName, author);
}

DoubleResultSetCollection SqliteDataService::GetForecastEURList(const String& projectPath,
                                                                const String& userName,
                                                                const String& password,
                                                                const String& forecastName,
                                                                const String& author) {
  return impl_->DoubleList(Quantity::kEur, projectPath, userName, password, forecastName, author);
}

DoubleResultSetCollection SqliteDataService::GetForecastReserveList(const String& projectPath,
                                                                    const String& userName,
                                                                    const String& password,
                                                                    const String& forecastName,
                                                                    const String& author) {
  return impl_->DoubleList(Quantity::kReserve, projectPath, userName, password, forecastName,
                           author);
}

DateTimeResultSetCollection SqliteDataService::GetForecastLifeList(const String& projectPath,
                                                                   const String& userName,
                                                                   const String& password,
                                                                   const String& forecastName,
                                                                   const String& author) {
  return Faulting([&] {
    Impl::Lease db = impl_->Checkout();
    Caller caller = impl_->Authenticate(*db, projectPath, userName, password);
    std::int64_t forecastId = impl_->NamedForecastId(*db, caller, forecastName, author);
    auto query = (*db).Prepare(
        "SELECT borehole_id, life_date FROM named_forecast_entries"
        " WHERE named_forecast_id = ?1 ORDER BY position");
    query.Bind(1, forecastId);
    std::vector<std::optional<DateTimeResultSet>> records;
    while (query.Step()) {
      records.emplace_back(DateTimeResultSet(static_cast<std::int32_t>(query.Int64(0)),
                                             impl_->LifeDate(query.Text(1), query.Int64(0))));
    }
    return DateTimeResultSetCollection(std::move(records));
  });
}

Collection<std::int32_t> SqliteDataService::GetBoreholeIdsWithForecast(const String& projectPath,
                                                                       const String& userName,
                                                                       const String& password,
                                                                       const String& templateName,
                                                                       const String& author) {
  return Faulting([&] {
    Impl::Lease db = impl_->Checkout();
    Caller caller = impl_->Authenticate(*db, projectPath, userName, password);
    std::int64_t templateId = impl_->TemplateId(*db, caller, templateName, author);
    auto query = (*db).Prepare(
        "SELECT borehole_id FROM forecasts WHERE template_id = ?1 ORDER BY borehole_id");
    query.Bind(1, templateId);
    std::vector<std::int32_t> ids;
    while (query.Step()) ids.push_back(static_cast<std::int32_t>(query.Int64(0)));
    return Collection<std::int32_t>(std::move(ids));
  });
}

StringResultSetCollection SqliteDataService::GetForecastTemplatesByAuthor(const String& projectPath,
                                                                          const String& userName,
                                                                          const String& password,
                                                                          const String& author) {
  return Faulting([&] {
    Impl::Lease db = impl_->Checkout();
    Caller caller = impl_->Authenticate(*db, projectPath, userName, password);
    std::int64_t authorId = impl_->AuthorId(*db, caller, author.ToUtf8());
    auto query = (*db).Prepare(
        "SELECT template_id, name FROM forecast_templates WHERE author_id = ?1"
        " ORDER BY template_id");
    query.Bind(1, authorId);
    std::vector<std::optional<StringResultSet>> templates;
    while (query.Step()) {
      templates.emplace_back(StringResultSet(static_cast<std::int32_t>(query.Int64(0)),
                                             String::FromUtf8(query.Text(1))));
    }
    return StringResultSetCollection(std::move(templates));
  });
}

}  // namespace Norv::Servers
