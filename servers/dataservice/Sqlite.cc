#include "servers/dataservice/Sqlite.h"

#include <sqlite3.h>

#include <utility>

namespace Norv::Servers::internal {

namespace {

int OpenFlags(Connection::Mode mode) {
  // NOMUTEX: each connection is used by one thread at a time, so SQLite's own
  // per-connection mutex would only cost time. No URI interpretation: the
  // path is a plain file name.
  int flags = SQLITE_OPEN_NOMUTEX;
  switch (mode) {
    case Connection::Mode::kReadOnly:
      return flags | SQLITE_OPEN_READONLY;
    case Connection::Mode::kReadWrite:
      return flags | SQLITE_OPEN_READWRITE;
    case Connection::Mode::kCreate:
      return flags | SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  }
  return flags | SQLITE_OPEN_READONLY;
}

}  // namespace

Connection::Connection(const std::filesystem::path& path, Mode mode,
                       std::chrono::milliseconds busyTimeout)
    : path_(path) {
  int code = sqlite3_open_v2(path.c_str(), &db_, OpenFlags(mode), nullptr);
  if (code != SQLITE_OK) {
    std::string message = "cannot open database " + path.string() + ": " +
                          (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
    sqlite3_close(db_);
    db_ = nullptr;
    throw SqliteError(message, code);
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, static_cast<int>(busyTimeout.count()));
}

Connection::~Connection() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

void Connection::Fail(int code, std::string_view doing) const {
  throw SqliteError(
      "database " + path_.string() + ": " + std::string(doing) + " failed: " + sqlite3_errmsg(db_),
      code);
}

void Connection::Exec(const char* sql) {
  char* error = nullptr;
  int code = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  if (code != SQLITE_OK) {
    std::string message =
        "database " + path_.string() + ": " + (error != nullptr ? error : sqlite3_errstr(code));
    sqlite3_free(error);
    throw SqliteError(message, code);
  }
}

Query Connection::Prepare(const char* sql) {
  auto it = statements_.find(sql);
  if (it == statements_.end()) {
    sqlite3_stmt* statement = nullptr;
    int code = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    if (code != SQLITE_OK) Fail(code, "preparing a query");
    it = statements_.emplace(sql, statement).first;
  }
  return Query(this, it->second);
}

std::int64_t Connection::LastInsertRowId() const noexcept { return sqlite3_last_insert_rowid(db_); }

Query::~Query() {
  if (statement_ != nullptr) {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
}

Query::Query(Query&& other) noexcept
    : connection_(other.connection_), statement_(std::exchange(other.statement_, nullptr)) {}

Query& Query::Bind(int index, std::int64_t value) {
  int code = sqlite3_bind_int64(statement_, index, value);
  if (code != SQLITE_OK) connection_->Fail(code, "binding a value");
  return *this;
}

Query& Query::Bind(int index, double value) {
  int code = sqlite3_bind_double(statement_, index, value);
  if (code != SQLITE_OK) connection_->Fail(code, "binding a value");
  return *this;
}

Query& Query::Bind(int index, std::string_view text) {
  // SQLITE_TRANSIENT: the caller's buffer may not outlive the query.
  int code = sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
  if (code != SQLITE_OK) connection_->Fail(code, "binding a value");
  return *this;
}

Query& Query::BindNull(int index) {
  int code = sqlite3_bind_null(statement_, index);
  if (code != SQLITE_OK) connection_->Fail(code, "binding a value");
  return *this;
}

bool Query::Step() {
  int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  connection_->Fail(code, "running a query");
}

void Query::Run() {
  while (Step()) {
  }
}

bool Query::IsNull(int column) const noexcept {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::int64_t Query::Int64(int column) const noexcept {
  return sqlite3_column_int64(statement_, column);
}

double Query::Double(int column) const noexcept {
  return sqlite3_column_double(statement_, column);
}

std::string_view Query::Text(int column) const noexcept {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) return {};
  return std::string_view(reinterpret_cast<const char*>(text),
                          static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

}  // namespace Norv::Servers::internal
