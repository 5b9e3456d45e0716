#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace nimbrella::server {

class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Database;

// One step-through of a cached prepared statement; resets it when it goes away.
class Query {
 public:
  Query(Database& database, sqlite3_stmt* statement);
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& bind(int index, std::int64_t value);
  Query& bind(int index, std::string_view value);
  Query& bind(int index, const std::string& value) { return bind(index, std::string_view(value)); }
  Query& bind(int index, const char* value) { return bind(index, std::string_view(value)); }
  Query& bindNull(int index);
  Query& bind(int index, const std::optional<std::string>& value);
  Query& bind(int index, const std::optional<std::int64_t>& value);

  // Advances to the next row; false when there is none.
  bool step();
  // Runs a statement that returns no rows.
  void run();

  std::int64_t integer(int column) const;
  std::string text(int column) const;
  std::optional<std::string> optionalText(int column) const;
  std::optional<std::int64_t> optionalInteger(int column) const;

 private:
  Database& database_;
  sqlite3_stmt* statement_;
};

// A SQLite connection with a cache of prepared statements. Not thread-safe: the owner
// serialises every use.
class Database {
 public:
  enum class Access { readWrite, readOnly };
  explicit Database(const std::string& path, Access access = Access::readWrite);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void execute(const std::string& sql);
  Query query(const std::string& sql);
  // Rows changed by the last INSERT, UPDATE or DELETE.
  int changes() const;
  // Rows changed since the connection opened.
  std::int64_t totalChanges() const;

  [[noreturn]] void fail(std::string_view what) const;

 private:
  sqlite3* handle_ = nullptr;
  std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
};

}  // namespace nimbrella::server
