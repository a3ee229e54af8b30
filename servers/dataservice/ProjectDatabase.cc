#include "servers/dataservice/ProjectDatabase.h"

#include <sodium.h>

#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "servers/dataservice/Sqlite.h"

namespace Norv::Servers {

namespace {

using internal::Connection;

// Ids of boreholes and templates travel as int32, so the schema keeps them in
// that range. Entries of a named forecast keep the order they were added in
// (`position`), which is the order the service answers them in.
constexpr const char kSchema[] = R"sql(
CREATE TABLE projects (
  project_id INTEGER PRIMARY KEY,
  path TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL
);
CREATE TABLE users (
  user_id INTEGER PRIMARY KEY,
  project_id INTEGER NOT NULL REFERENCES projects(project_id),
  name TEXT NOT NULL,
  password_hash TEXT NOT NULL,
  is_admin INTEGER NOT NULL DEFAULT 0 CHECK (is_admin IN (0, 1)),
  is_restricted INTEGER NOT NULL DEFAULT 0 CHECK (is_restricted IN (0, 1)),
  UNIQUE (project_id, name)
);
CREATE TABLE authors (
  author_id INTEGER PRIMARY KEY,
  project_id INTEGER NOT NULL REFERENCES projects(project_id),
  name TEXT NOT NULL,
  UNIQUE (project_id, name)
);
CREATE TABLE boreholes (
  borehole_id INTEGER PRIMARY KEY CHECK (borehole_id BETWEEN -2147483648 AND 2147483647),
  project_id INTEGER NOT NULL REFERENCES projects(project_id),
  name TEXT NOT NULL
);
CREATE TABLE forecast_templates (
  template_id INTEGER PRIMARY KEY CHECK (template_id BETWEEN 1 AND 2147483647),
  author_id INTEGER NOT NULL REFERENCES authors(author_id),
  name TEXT NOT NULL,
  UNIQUE (author_id, name)
);
CREATE TABLE forecasts (
  template_id INTEGER NOT NULL REFERENCES forecast_templates(template_id),
  borehole_id INTEGER NOT NULL REFERENCES boreholes(borehole_id),
  eur REAL NOT NULL,
  reserve REAL NOT NULL,
  life_date TEXT NOT NULL,
  PRIMARY KEY (template_id, borehole_id)
) WITHOUT ROWID;
CREATE TABLE named_forecasts (
  named_forecast_id INTEGER PRIMARY KEY,
  author_id INTEGER NOT NULL REFERENCES authors(author_id),
  name TEXT NOT NULL,
  UNIQUE (author_id, name)
);
CREATE TABLE named_forecast_entries (
  named_forecast_id INTEGER NOT NULL REFERENCES named_forecasts(named_forecast_id),
  position INTEGER NOT NULL,
  borehole_id INTEGER NOT NULL REFERENCES boreholes(borehole_id),
  eur REAL NOT NULL,
  reserve REAL NOT NULL,
  life_date TEXT NOT NULL,
  PRIMARY KEY (named_forecast_id, position)
) WITHOUT ROWID;
CREATE TABLE logons (
  logon_id INTEGER PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES users(user_id),
  author TEXT NOT NULL,
  logged_on_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))
);
)sql";

void EnsureSodium() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
}

bool ParseNumber(std::string_view text, std::int32_t& out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string HashPassword(std::string_view password, PasswordHashCost cost) {
  EnsureSodium();
  unsigned long long opsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
  std::size_t memLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;
  if (cost == PasswordHashCost::kMinimal) {
    opsLimit = crypto_pwhash_OPSLIMIT_MIN;
    memLimit = crypto_pwhash_MEMLIMIT_MIN;
  }
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(hash, password.data(), password.size(), opsLimit, memLimit,
                            crypto_pwhash_ALG_ARGON2ID13) != 0) {
    throw std::runtime_error("hashing a password failed: out of memory");
  }
  return hash;
}

namespace internal {

std::string DateTimeToText(const DateTime& value) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", value.year, value.month,
                value.day, value.hour, value.minute, value.second);
  return text;
}

std::optional<DateTime> DateTimeFromText(std::string_view text) {
  // "YYYY-MM-DD" optionally followed by " HH:MM:SS" or "THH:MM:SS".
  if (text.size() != 10 && text.size() != 19) return std::nullopt;
  if (text[4] != '-' || text[7] != '-') return std::nullopt;
  DateTime value;
  if (!ParseNumber(text.substr(0, 4), value.year) || !ParseNumber(text.substr(5, 2), value.month) ||
      !ParseNumber(text.substr(8, 2), value.day)) {
    return std::nullopt;
  }
  if (text.size() == 19) {
    if ((text[10] != ' ' && text[10] != 'T') || text[13] != ':' || text[16] != ':') {
      return std::nullopt;
    }
    if (!ParseNumber(text.substr(11, 2), value.hour) ||
        !ParseNumber(text.substr(14, 2), value.minute) ||
        !ParseNumber(text.substr(17, 2), value.second)) {
      return std::nullopt;
    }
  }
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (value.year % 4 == 0 && value.year % 100 != 0) || value.year % 400 == 0;
  if (value.year < 1 || value.month < 1 || value.month > 12 || value.day < 1 ||
      value.day > kDays[value.month - 1] || (value.month == 2 && value.day == 29 && !leap) ||
      value.hour > 23 || value.minute > 59 || value.second > 59) {
    return std::nullopt;
  }
  return value;
}

}  // namespace internal

struct ProjectWriter::State {
  explicit State(const std::filesystem::path& path)
      : db(std::filesystem::absolute(path), Connection::Mode::kCreate,
           std::chrono::milliseconds(5000)) {}
  Connection db;
  bool inTransaction = false;
};

ProjectWriter::ProjectWriter(const std::filesystem::path& path)
    : state_(std::make_unique<State>(path)) {
  EnsureSodium();
  Connection& db = state_->db;
  db.Exec("PRAGMA foreign_keys = ON");
  std::int64_t id = 0;
  std::int64_t objects = 0;
  {
    // Scoped: a statement that is not reset keeps a read transaction open.
    auto applicationId = db.Prepare("PRAGMA application_id");
    applicationId.Step();
    id = applicationId.Int64(0);
    auto tables = db.Prepare("SELECT count(*) FROM sqlite_master");
    tables.Step();
    objects = tables.Int64(0);
  }
  if (id == kProjectApplicationId) return;
  if (id != 0 || objects != 0) {
    throw std::runtime_error(db.Path().string() + " exists and is not a project database");
  }
  // Write-ahead logging: readers never wait for a writer, and a writer never
  // waits for readers, so queries keep answering while a project is edited.
  db.Exec("PRAGMA journal_mode = WAL");
  db.Exec("BEGIN IMMEDIATE");
  try {
    db.Exec(kSchema);
    db.Exec(("PRAGMA application_id = " + std::to_string(kProjectApplicationId)).c_str());
    db.Exec(("PRAGMA user_version = " + std::to_string(kProjectSchemaVersion)).c_str());
    db.Exec("COMMIT");
  } catch (...) {
    db.Exec("ROLLBACK");
    throw;
  }
}

ProjectWriter::~ProjectWriter() {
  if (state_->inTransaction) {
    try {
      state_->db.Exec("ROLLBACK");
    } catch (const std::exception&) {
      // The connection closes next, which rolls back as well.
    }
  }
}

void ProjectWriter::Begin() {
  state_->db.Exec("BEGIN IMMEDIATE");
  state_->inTransaction = true;
}

void ProjectWriter::Commit() {
  state_->db.Exec("COMMIT");
  state_->inTransaction = false;
}

std::int64_t ProjectWriter::AddProject(std::string_view path, std::string_view name) {
  state_->db.Prepare("INSERT INTO projects (path, name) VALUES (?1, ?2)")
      .Bind(1, path)
      .Bind(2, name)
      .Run();
  return state_->db.LastInsertRowId();
}

std::int64_t ProjectWriter::AddUser(std::int64_t projectId, std::string_view name,
                                    std::string_view password, bool isAdmin, bool isRestricted,
                                    PasswordHashCost cost) {
  state_->db
      .Prepare(
          "INSERT INTO users (project_id, name, password_hash, is_admin, is_restricted)"
          " VALUES (?1, ?2, ?3, ?4, ?5)")
      .Bind(1, projectId)
      .Bind(2, name)
      .Bind(3, HashPassword(password, cost))
      .Bind(4, std::int64_t{isAdmin})
      .Bind(5, std::int64_t{isRestricted})
      .Run();
  return state_->db.LastInsertRowId();
}

void ProjectWriter::SetPassword(std::int64_t userId, std::string_view password,
                                PasswordHashCost cost) {
  state_->db.Prepare("UPDATE users SET password_hash = ?2 WHERE user_id = ?1")
      .Bind(1, userId)
      .Bind(2, HashPassword(password, cost))
      .Run();
}

void ProjectWriter::SetUserFlags(std::int64_t userId, bool isAdmin, bool isRestricted) {
  state_->db.Prepare("UPDATE users SET is_admin = ?2, is_restricted = ?3 WHERE user_id = ?1")
      .Bind(1, userId)
      .Bind(2, std::int64_t{isAdmin})
      .Bind(3, std::int64_t{isRestricted})
      .Run();
}

std::int64_t ProjectWriter::AddAuthor(std::int64_t projectId, std::string_view name) {
  state_->db.Prepare("INSERT INTO authors (project_id, name) VALUES (?1, ?2)")
      .Bind(1, projectId)
      .Bind(2, name)
      .Run();
  return state_->db.LastInsertRowId();
}

void ProjectWriter::AddBorehole(std::int64_t projectId, std::int32_t boreholeId,
                                std::string_view name) {
  state_->db.Prepare("INSERT INTO boreholes (borehole_id, project_id, name) VALUES (?1, ?2, ?3)")
      .Bind(1, std::int64_t{boreholeId})
      .Bind(2, projectId)
      .Bind(3, name)
      .Run();
}

std::int32_t ProjectWriter::AddTemplate(std::int64_t authorId, std::string_view name) {
  state_->db.Prepare("INSERT INTO forecast_templates (author_id, name) VALUES (?1, ?2)")
      .Bind(1, authorId)
      .Bind(2, name)
      .Run();
  return static_cast<std::int32_t>(state_->db.LastInsertRowId());
}

void ProjectWriter::SetForecast(std::int32_t templateId, std::int32_t boreholeId, double eur,
                                double reserve, const DateTime& life) {
  state_->db
      .Prepare(
          "INSERT OR REPLACE INTO forecasts (template_id, borehole_id, eur, reserve, life_date)"
          " VALUES (?1, ?2, ?3, ?4, ?5)")
      .Bind(1, std::int64_t{templateId})
      .Bind(2, std::int64_t{boreholeId})
      .Bind(3, eur)
      .Bind(4, reserve)
      .Bind(5, internal::DateTimeToText(life))
      .Run();
}

std::int64_t ProjectWriter::AddNamedForecast(std::int64_t authorId, std::string_view name) {
  state_->db.Prepare("INSERT INTO named_forecasts (author_id, name) VALUES (?1, ?2)")
      .Bind(1, authorId)
      .Bind(2, name)
      .Run();
  return state_->db.LastInsertRowId();
}

void ProjectWriter::AddNamedForecastEntry(std::int64_t namedForecastId, std::int32_t boreholeId,
                                          double eur, double reserve, const DateTime& life) {
  state_->db
      .Prepare(
          "INSERT INTO named_forecast_entries"
          " (named_forecast_id, position, borehole_id, eur, reserve, life_date)"
          " VALUES (?1, (SELECT coalesce(max(position), 0) + 1 FROM named_forecast_entries"
          " WHERE named_forecast_id = ?1), ?2, ?3, ?4, ?5)")
      .Bind(1, namedForecastId)
      .Bind(2, std::int64_t{boreholeId})
      .Bind(3, eur)
      .Bind(4, reserve)
      .Bind(5, internal::DateTimeToText(life))
      .Run();
}

}  // namespace Norv::Servers
