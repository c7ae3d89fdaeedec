#include "core/store/sqlite_database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <map>

#include "core/base/text.h"
#include "core/base/unique_fd.h"

namespace certwright {
namespace {

// A writer waits this long for another process's transaction before giving up.
constexpr int kBusyTimeoutMs = 120'000;

class SqliteDatabase final : public SqlDatabase {
 public:
  explicit SqliteDatabase(sqlite3* db) : db_(db) {}
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;
  ~SqliteDatabase() override {
    for (auto& [sql, statement] : statements_)
      sqlite3_finalize(statement);
    sqlite3_close_v2(db_);
  }

  std::expected<std::vector<SqlRow>, Error> run(std::string_view sql,
                                                std::span<const SqlValue> params) override {
    auto statement = prepared(sql);
    if (!statement) return std::unexpected(statement.error());
    sqlite3_stmt* stmt = *statement;
    std::vector<SqlRow> rows;
    const auto stepped = bind_and_step(stmt, params, [&](SqlRow&& row) {
      rows.push_back(std::move(row));
      return true;
    });
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (!stepped) return std::unexpected(stepped.error());
    return rows;
  }

  std::expected<void, Error> for_each_row(std::string_view sql, std::span<const SqlValue> params,
                                          const std::function<bool(SqlRow&&)>& each) override {
    auto statement = prepared(sql);
    if (!statement) return std::unexpected(statement.error());
    sqlite3_stmt* stmt = *statement;
    const auto stepped = bind_and_step(stmt, params, each);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return stepped;
  }

  std::expected<void, Error> execute(std::string_view sql) override {
    if (sqlite3_exec(db_, std::string(sql).c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
      return std::unexpected(failure());
    return {};
  }

  std::expected<void, Error> begin_writing() override { return execute("BEGIN IMMEDIATE"); }

  SqlDialect dialect() const override { return SqlDialect::sqlite; }

 private:
  Error failure() const { return Error{single_line(sqlite3_errmsg(db_))}; }

  // Statements are prepared once per connection and kept for the next call.
  std::expected<sqlite3_stmt*, Error> prepared(std::string_view sql) {
    std::string key(sql);
    if (const auto found = statements_.find(key); found != statements_.end()) return found->second;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, key.c_str(), static_cast<int>(key.size()), &statement, nullptr) !=
        SQLITE_OK)
      return std::unexpected(failure());
    statements_.emplace(std::move(key), statement);
    return statement;
  }

  std::expected<void, Error> bind_and_step(sqlite3_stmt* stmt, std::span<const SqlValue> params,
                                           const std::function<bool(SqlRow&&)>& each) {
    for (std::size_t i = 0; i < params.size(); ++i)
      if (bind(stmt, static_cast<int>(i + 1), params[i]) != SQLITE_OK)
        return std::unexpected(failure());
    for (;;) {
      const int step = sqlite3_step(stmt);
      if (step == SQLITE_DONE) return {};
      if (step != SQLITE_ROW) return std::unexpected(failure());
      if (!each(row_of(stmt))) return {};
    }
  }

  static int bind(sqlite3_stmt* stmt, int index, const SqlValue& value) {
    if (const auto* integer = std::get_if<std::int64_t>(&value))
      return sqlite3_bind_int64(stmt, index, *integer);
    if (const auto* bytes = std::get_if<std::string>(&value)) {
      // A null pointer would bind NULL, not the empty bytes.
      if (bytes->empty()) return sqlite3_bind_zeroblob(stmt, index, 0);
      // Not copied: every statement is reset, and its bindings cleared, before the values it
      // was given are released (a 10 MB certificate is then held once less while it is stored).
      return sqlite3_bind_blob64(stmt, index, bytes->data(), bytes->size(), SQLITE_STATIC);
    }
    return sqlite3_bind_null(stmt, index);
  }

  static SqlRow row_of(sqlite3_stmt* stmt) {
    SqlRow row;
    const int columns = sqlite3_column_count(stmt);
    for (int column = 0; column < columns; ++column) {
      switch (sqlite3_column_type(stmt, column)) {
        case SQLITE_NULL:
          row.emplace_back(std::monostate{});
          break;
        case SQLITE_INTEGER:
          row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(stmt, column)));
          break;
        default: {
          const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, column));
          const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, column));
          row.emplace_back(data ? std::string(data, size) : std::string());
        }
      }
    }
    return row;
  }

  sqlite3* db_;
  std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
};

// Refuses what must never be opened as the index: a link (which could point anywhere), a
// directory, a FIFO (opening one could block) or a device.
std::expected<void, Error> check_path(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno != ENOENT) return std::unexpected(Error{last_system_error().message()});
    // Nothing there: made empty, never through a link, never over a file made meanwhile.
    const UniqueFd created(::open(
        path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!created && errno != EEXIST) return std::unexpected(Error{last_system_error().message()});
    if (created) return {};
    return check_path(path);
  }
  if (S_ISLNK(status.st_mode)) return std::unexpected(Error{"is a symbolic link"});
  if (S_ISDIR(status.st_mode)) return std::unexpected(Error{"is a directory"});
  if (!S_ISREG(status.st_mode)) return std::unexpected(Error{"is not a regular file"});
  return {};
}

}  // namespace

std::expected<std::unique_ptr<SqlDatabase>, Error> open_sqlite_database(const std::string& path) {
  const std::string shown = "index " + lossy_utf8(path);
  if (auto checked = check_path(path); !checked)
    return std::unexpected(Error{shown + ": " + checked.error().message});
  sqlite3* db = nullptr;
  const int opened =
      sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX, nullptr);
  if (opened != SQLITE_OK) {
    const std::string reason = db ? sqlite3_errmsg(db) : sqlite3_errstr(opened);
    sqlite3_close_v2(db);
    return std::unexpected(Error{shown + ": " + reason});
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return std::make_unique<SqliteDatabase>(db);
}

}  // namespace certwright
