// One connection to the index's database, whichever server keeps it: statements with
// parameters only, values as bytes or integers.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/base/error.h"

namespace certwright {

// A parameter or a column value: NULL, an integer, or bytes. Every text the index keeps is
// stored as bytes, so that any byte (U+0000 included) comes back exactly as it went in.
using SqlValue = std::variant<std::monostate, std::int64_t, std::string>;
using SqlRow = std::vector<SqlValue>;

enum class SqlDialect { sqlite, postgresql };

class SqlDatabase {
 public:
  virtual ~SqlDatabase() = default;

  // Runs one statement whose parameters are written "?" and bound in order; its rows, or the
  // server's error. No value is ever part of the statement's text.
  virtual std::expected<std::vector<SqlRow>, Error> run(std::string_view sql,
                                                        std::span<const SqlValue> params) = 0;
  // Runs one statement as `run` does, handing each row to `each` as it is read until `each`
  // returns false: a query over the whole store then holds its rows once, not twice. `each` may
  // run other statements, not this one.
  virtual std::expected<void, Error> for_each_row(std::string_view sql,
                                                  std::span<const SqlValue> params,
                                                  const std::function<bool(SqlRow&&)>& each);
  // Runs `sql` once for each list of parameters; the rows of each run, in order. A server that
  // can is sent them all before its first answer is awaited.
  virtual std::expected<std::vector<std::vector<SqlRow>>, Error> run_each(
      std::string_view sql, std::span<const std::vector<SqlValue>> params);
  // Runs a statement whose rows are not wanted, now or with the ones queued after it, at the
  // latest before the next run, run_each, execute or flush returns; its error is reported by the
  // call that ran it.
  virtual std::expected<void, Error> queue(std::string_view sql, std::span<const SqlValue> params);
  // Inserts `rows`, each one value per column, into `table`; queued as `queue` is. A server that
  // can takes them in one statement. The table and column names are the program's own.
  virtual std::expected<void, Error> insert_rows(std::string_view table,
                                                 std::span<const std::string_view> columns,
                                                 std::span<const SqlRow> rows);
  // Runs what is queued; the first error among it.
  virtual std::expected<void, Error> flush() { return {}; }
  // Runs statements without parameters or rows (schema definitions, transaction control).
  virtual std::expected<void, Error> execute(std::string_view sql) = 0;
  // Starts a transaction that holds the right to write until it ends, so that sequence
  // numbers are handed out by one writer at a time.
  virtual std::expected<void, Error> begin_writing() = 0;
  virtual SqlDialect dialect() const = 0;
};

// The integer in `value`; 0 for NULL or bytes.
std::int64_t integer_of(const SqlValue& value);
// The bytes in `value`; empty for NULL or an integer.
const std::string& bytes_of(const SqlValue& value);
// The bytes in `value`, or none for NULL.
std::optional<std::string> optional_bytes_of(const SqlValue& value);

}  // namespace certwright
