#include "core/store/sql_database.h"

#include <optional>

namespace certwright {

std::expected<void, Error> SqlDatabase::for_each_row(std::string_view sql,
                                                     std::span<const SqlValue> params,
                                                     const std::function<bool(SqlRow&&)>& each) {
  auto rows = run(sql, params);
  if (!rows) return std::unexpected(rows.error());
  for (SqlRow& row : *rows)
    if (!each(std::move(row))) break;
  return {};
}

std::expected<std::vector<std::vector<SqlRow>>, Error> SqlDatabase::run_each(
    std::string_view sql, std::span<const std::vector<SqlValue>> params) {
  std::vector<std::vector<SqlRow>> results;
  for (const std::vector<SqlValue>& one : params) {
    auto rows = run(sql, one);
    if (!rows) return std::unexpected(rows.error());
    results.push_back(std::move(*rows));
  }
  return results;
}

std::expected<void, Error> SqlDatabase::queue(std::string_view sql,
                                              std::span<const SqlValue> params) {
  if (auto rows = run(sql, params); !rows) return std::unexpected(rows.error());
  return {};
}

std::expected<void, Error> SqlDatabase::insert_rows(std::string_view table,
                                                    std::span<const std::string_view> columns,
                                                    std::span<const SqlRow> rows) {
  std::string sql = "INSERT INTO " + std::string(table) + " (";
  std::string placeholders;
  for (const std::string_view column : columns) {
    sql.append(placeholders.empty() ? "" : ", ").append(column);
    placeholders.append(placeholders.empty() ? "?" : ", ?");
  }
  sql += ") VALUES (" + placeholders + ")";
  for (const SqlRow& row : rows)
    if (auto queued = queue(sql, row); !queued) return queued;
  return {};
}

std::int64_t integer_of(const SqlValue& value) {
  const auto* integer = std::get_if<std::int64_t>(&value);
  return integer ? *integer : 0;
}

const std::string& bytes_of(const SqlValue& value) {
  static const std::string empty;
  const auto* bytes = std::get_if<std::string>(&value);
  return bytes ? *bytes : empty;
}

std::optional<std::string> optional_bytes_of(const SqlValue& value) {
  const auto* bytes = std::get_if<std::string>(&value);
  if (!bytes) return std::nullopt;
  return *bytes;
}

}  // namespace certwright
