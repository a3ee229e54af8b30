// A thin RAII layer over the SQLite C interface for the reference data
// service: a connection that caches its prepared statements, and a query
// that binds, steps and resets one of them.
//
// Thread-safety: a Connection and its statements belong to one thread at a
// time (connections are opened without SQLite's own mutex); distinct
// connections may be used from distinct threads at once.
#ifndef NORV_SERVERS_DATASERVICE_SQLITE_H_
#define NORV_SERVERS_DATASERVICE_SQLITE_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace Norv::Servers::internal {

// A SQLite failure; the message names the database file and what was being
// done.
class SqliteError : public std::runtime_error {
 public:
  SqliteError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
  int Code() const noexcept { return code_; }

 private:
  int code_;
};

class Query;

class Connection {
 public:
  enum class Mode { kReadOnly, kReadWrite, kCreate };

  // Opens `path` (which must be absolute) and sets a busy time-out, so that a
  // writer elsewhere delays a query instead of failing it.
  Connection(const std::filesystem::path& path, Mode mode, std::chrono::milliseconds busyTimeout);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs one or more statements that return no rows.
  void Exec(const char* sql);
  // A query on the cached statement for `sql` (a string literal: the cache
  // is keyed by its address).
  Query Prepare(const char* sql);
  std::int64_t LastInsertRowId() const noexcept;
  const std::filesystem::path& Path() const noexcept { return path_; }

  // Raises SqliteError for `code` with the connection's message.
  [[noreturn]] void Fail(int code, std::string_view doing) const;

 private:
  friend class Query;
  sqlite3* db_ = nullptr;
  std::filesystem::path path_;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// One use of a cached statement; resets it and clears its bindings when it
// goes out of scope.
class Query {
 public:
  ~Query();
  Query(Query&& other) noexcept;
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  Query& operator=(Query&&) = delete;

  // Parameters are numbered from 1.
  Query& Bind(int index, std::int64_t value);
  Query& Bind(int index, double value);
  Query& Bind(int index, std::string_view text);
  Query& BindNull(int index);

  // Advances to the next row; false when there is none.
  bool Step();
  // Steps a statement that returns no rows.
  void Run();

  bool IsNull(int column) const noexcept;
  std::int64_t Int64(int column) const noexcept;
  double Double(int column) const noexcept;
  std::string_view Text(int column) const noexcept;

 private:
  friend class Connection;
  Query(Connection* connection, sqlite3_stmt* statement) noexcept
      : connection_(connection), statement_(statement) {}

  Connection* connection_;
  sqlite3_stmt* statement_;
};

}  // namespace Norv::Servers::internal

#endif  // NORV_SERVERS_DATASERVICE_SQLITE_H_
