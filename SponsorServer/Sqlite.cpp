#include "SponsorServer/Sqlite.hpp"

#include <sqlite3.h>

namespace nimbrella::server {

Query::Query(Database& database, sqlite3_stmt* statement)
    : database_(database), statement_(statement) {}

Query::~Query() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

Query& Query::bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK) database_.fail("bind");
  return *this;
}

Query& Query::bind(int index, std::string_view value) {
  if (sqlite3_bind_text64(statement_, index, value.data(), value.size(), SQLITE_TRANSIENT,
                          SQLITE_UTF8) != SQLITE_OK) {
    database_.fail("bind");
  }
  return *this;
}

Query& Query::bindNull(int index) {
  if (sqlite3_bind_null(statement_, index) != SQLITE_OK) database_.fail("bind");
  return *this;
}

Query& Query::bind(int index, const std::optional<std::string>& value) {
  return value ? bind(index, std::string_view(*value)) : bindNull(index);
}

Query& Query::bind(int index, const std::optional<std::int64_t>& value) {
  return value ? bind(index, *value) : bindNull(index);
}

bool Query::step() {
  const int status = sqlite3_step(statement_);
  if (status == SQLITE_ROW) return true;
  if (status == SQLITE_DONE) return false;
  database_.fail("step");
}

void Query::run() {
  while (step()) {
  }
}

std::int64_t Query::integer(int column) const { return sqlite3_column_int64(statement_, column); }

std::string Query::text(int column) const {
  const auto* data = sqlite3_column_text(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  return data ? std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size))
              : std::string();
}

std::optional<std::string> Query::optionalText(int column) const {
  if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
  return text(column);
}

std::optional<std::int64_t> Query::optionalInteger(int column) const {
  if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
  return integer(column);
}

Database::Database(const std::string& path, Access access) {
  const int flags = (access == Access::readOnly ? SQLITE_OPEN_READONLY
                                                : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &handle_, flags, nullptr) != SQLITE_OK) {
    std::string message = handle_ ? sqlite3_errmsg(handle_) : "out of memory";
    sqlite3_close(handle_);
    handle_ = nullptr;
    throw StoreError("cannot open the database " + path + ": " + message);
  }
  sqlite3_extended_result_codes(handle_, 1);
  sqlite3_busy_timeout(handle_, 5000);
}

Database::~Database() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close(handle_);
}

void Database::execute(const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw StoreError("database error: " + message);
  }
}

Query Database::query(const std::string& sql) {
  auto found = statements_.find(sql);
  if (found == statements_.end()) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(handle_, sql.c_str(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
      fail("prepare");
    }
    found = statements_.emplace(sql, statement).first;
  }
  return Query(*this, found->second);
}

int Database::changes() const { return sqlite3_changes(handle_); }

std::int64_t Database::totalChanges() const { return sqlite3_total_changes64(handle_); }

void Database::fail(std::string_view what) const {
  throw StoreError("database error (" + std::string(what) + "): " + sqlite3_errmsg(handle_));
}

}  // namespace nimbrella::server
