#include "core/store/postgres_database.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "core/base/text.h"
#include "core/store/libpq_library.h"

namespace certwright {
namespace {

// PostgreSQL's type ids of the values the index binds and reads.
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kByteaArrayOid = 1001;
constexpr Oid kInt8ArrayOid = 1016;

// Statements sent in pipeline mode before their answers are read: their answers (about 30
// bytes each) stay well within the socket's buffer.
constexpr std::size_t kPipelineDepth = 1000;

// The key under which writers queue for the write transaction.
constexpr std::string_view kWriterLock = "SELECT pg_advisory_xact_lock(7308034417260281189)";

// The library's functions: open_postgres_database loads it before any of them is called.
const Libpq& pq() {
  return **load_libpq();
}

struct ResultDeleter {
  void operator()(PGresult* result) const { pq().PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// "?" placeholders as PostgreSQL numbers them ("$1", "$2", ...). The index's statements hold
// no quoted text, so every "?" is a placeholder.
std::string numbered_placeholders(std::string_view sql) {
  std::string numbered;
  int next = 1;
  for (const char c : sql) {
    if (c == '?')
      numbered += "$" + std::to_string(next++);
    else
      numbered.push_back(c);
  }
  return numbered;
}

std::int64_t big_endian_integer(const char* data, int size) {
  std::uint64_t value = 0;
  for (int i = 0; i < size; ++i)
    value = (value << 8) | static_cast<unsigned char>(data[i]);
  if (size < 8 && size > 0 && (static_cast<unsigned char>(data[0]) & 0x80))
    value |= ~std::uint64_t{0} << (size * 8);  // sign-extend int2 and int4
  return static_cast<std::int64_t>(value);
}

std::vector<Oid> types_of(std::span<const SqlValue> params) {
  std::vector<Oid> types;
  for (const SqlValue& param : params)
    types.push_back(std::holds_alternative<std::int64_t>(param) ? kInt8Oid : kByteaOid);
  return types;
}

void append_big_endian(std::string& out, std::uint64_t value, int bytes) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((value >> shift) & 0xff));
}

// One column of `rows` as a one-dimensional array in PostgreSQL's binary format: dimensions,
// whether any element is NULL, the element type, the length and lower bound, then each element
// as its length (-1 for NULL) and its bytes.
std::string binary_array(std::span<const SqlRow> rows, std::size_t column, Oid element_type) {
  const bool nulls = std::ranges::any_of(rows, [&](const SqlRow& row) {
    return std::holds_alternative<std::monostate>(row.at(column));
  });
  std::string out;
  for (const std::uint64_t word :
       {std::uint64_t{1}, std::uint64_t{nulls}, std::uint64_t{element_type},
        std::uint64_t{rows.size()}, std::uint64_t{1}})
    append_big_endian(out, word, 4);
  for (const SqlRow& row : rows) {
    const SqlValue& value = row.at(column);
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
      append_big_endian(out, 8, 4);
      append_big_endian(out, static_cast<std::uint64_t>(*integer), 8);
    } else if (const auto* bytes = std::get_if<std::string>(&value)) {
      append_big_endian(out, bytes->size(), 4);
      out += *bytes;
    } else {
      append_big_endian(out, 0xffffffff, 4);
    }
  }
  return out;
}

// libpq's message as one line: its line breaks and indents become single spaces.
std::string one_line(std::string_view message) {
  std::string line;
  for (const char c : message) {
    const bool space = c == '\n' || c == '\t' || c == ' ';
    if (space && (line.empty() || line.back() == ' ')) continue;
    line.push_back(space ? ' ' : c);
  }
  while (!line.empty() && line.back() == ' ')
    line.pop_back();
  return single_line(line);
}

class PostgresDatabase final : public SqlDatabase {
 public:
  explicit PostgresDatabase(PGconn* connection) : connection_(connection) {}
  PostgresDatabase(const PostgresDatabase&) = delete;
  PostgresDatabase& operator=(const PostgresDatabase&) = delete;
  ~PostgresDatabase() override { pq().PQfinish(connection_); }

  std::expected<std::vector<SqlRow>, Error> run(std::string_view sql,
                                                std::span<const SqlValue> params) override {
    if (auto flushed = flush(); !flushed) return std::unexpected(flushed.error());
    const std::vector<Oid> types = types_of(params);
    const Parameters encoded(params);
    Result result;
    if (!names_.contains(sql) && run_once_.emplace(sql).second) {
      // Its first run sends the statement with its parameters in one round trip; preparing it
      // too would cost a second, which a statement run once (the schema check, a query) never
      // earns back.
      result.reset(pq().PQexecParams(connection_, numbered_placeholders(sql).c_str(),
                                     encoded.count(), types.data(), encoded.values.data(),
                                     encoded.lengths.data(), encoded.formats.data(), 1));
    } else {
      auto name = prepared(sql, types);
      if (!name) return std::unexpected(name.error());
      result.reset(pq().PQexecPrepared(connection_, name->c_str(), encoded.count(),
                                       encoded.values.data(), encoded.lengths.data(),
                                       encoded.formats.data(), 1));
    }
    const auto status = pq().PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
      return std::unexpected(failure(result.get()));
    return rows_of(result.get());
  }

  std::expected<std::vector<std::vector<SqlRow>>, Error> run_each(
      std::string_view sql, std::span<const std::vector<SqlValue>> params) override {
    std::vector<std::vector<SqlRow>> results(params.size());
    for (std::size_t i = 0; i < params.size(); ++i)
      if (auto sent = send(sql, params[i], &results[i]); !sent)
        return std::unexpected(sent.error());
    if (auto flushed = flush(); !flushed) return std::unexpected(flushed.error());
    return results;
  }

  std::expected<void, Error> queue(std::string_view sql,
                                   std::span<const SqlValue> params) override {
    return send(sql, params, nullptr);
  }

  // One statement for any number of rows: each column is one array parameter, unnested
  // (INSERT ... SELECT * FROM unnest($1, $2, ...)). A column holding an integer is bigint[], any
  // other bytea[].
  std::expected<void, Error> insert_rows(std::string_view table,
                                         std::span<const std::string_view> columns,
                                         std::span<const SqlRow> rows) override {
    if (rows.empty()) return {};
    std::string sql = "INSERT INTO " + std::string(table) + " (";
    std::string placeholders;
    std::vector<SqlValue> arrays;
    std::vector<Oid> types;
    for (std::size_t column = 0; column < columns.size(); ++column) {
      sql.append(placeholders.empty() ? "" : ", ").append(columns[column]);
      placeholders.append(placeholders.empty() ? "?" : ", ?");
      const bool integers = std::ranges::any_of(rows, [&](const SqlRow& row) {
        return std::holds_alternative<std::int64_t>(row.at(column));
      });
      arrays.emplace_back(binary_array(rows, column, integers ? kInt8Oid : kByteaOid));
      types.push_back(integers ? kInt8ArrayOid : kByteaArrayOid);
    }
    sql += ") SELECT * FROM unnest(" + placeholders + ")";
    return send(sql, arrays, nullptr, types);
  }

  // Leaves pipeline mode once every answer is read, whatever they say.
  std::expected<void, Error> flush() override {
    if (!pq().PQpipelineStatus(connection_)) return {};
    auto drained = drain();
    pq().PQexitPipelineMode(connection_);
    return drained;
  }

  std::expected<void, Error> execute(std::string_view sql) override {
    if (auto flushed = flush(); !flushed) return flushed;
    const Result result(pq().PQexec(connection_, std::string(sql).c_str()));
    const auto status = pq().PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      return std::unexpected(failure(result.get()));
    return {};
  }

  std::expected<void, Error> begin_writing() override {
    if (auto begun = execute("BEGIN"); !begun) return begun;
    return execute(kWriterLock);
  }

  SqlDialect dialect() const override { return SqlDialect::postgresql; }

 private:
  Error failure(const PGresult* result) const {
    const char* message =
        result ? pq().PQresultErrorMessage(result) : pq().PQerrorMessage(connection_);
    return Error{one_line(message && *message ? message : pq().PQerrorMessage(connection_))};
  }

  // Parameters as libpq takes them: integers as 8 big-endian bytes, bytes as they are (a 12 MB
  // certificate is not copied).
  struct Parameters {
    std::vector<std::string> encoded;
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;

    explicit Parameters(std::span<const SqlValue> params)
        : encoded(params.size()),
          values(params.size(), nullptr),
          lengths(params.size(), 0),
          formats(params.size(), 1) {
      for (std::size_t i = 0; i < params.size(); ++i) {
        if (const auto* integer = std::get_if<std::int64_t>(&params[i])) {
          append_big_endian(encoded[i], static_cast<std::uint64_t>(*integer), 8);
          values[i] = encoded[i].data();
          lengths[i] = static_cast<int>(encoded[i].size());
        } else if (const auto* bytes = std::get_if<std::string>(&params[i])) {
          values[i] = bytes->data();
          lengths[i] = static_cast<int>(bytes->size());
        }
      }
    }
    int count() const { return static_cast<int>(values.size()); }
  };

  // Sends the statement in pipeline mode, its answer read by a later drain into `rows` (when
  // given): one round trip for a batch's rows instead of one each.
  std::expected<void, Error> send(std::string_view sql, std::span<const SqlValue> params,
                                  std::vector<SqlRow>* rows) {
    return send(sql, params, rows, types_of(params));
  }

  std::expected<void, Error> send(std::string_view sql, std::span<const SqlValue> params,
                                  std::vector<SqlRow>* rows, std::span<const Oid> types) {
    auto name = prepared(sql, types);
    if (!name) return std::unexpected(name.error());
    if (!pq().PQpipelineStatus(connection_) && !pq().PQenterPipelineMode(connection_))
      return std::unexpected(failure(nullptr));
    const Parameters encoded(params);
    if (!pq().PQsendQueryPrepared(connection_, name->c_str(), encoded.count(),
                                  encoded.values.data(), encoded.lengths.data(),
                                  encoded.formats.data(), 1))
      return std::unexpected(failure(nullptr));
    awaited_.push_back(rows);
    if (awaited_.size() >= kPipelineDepth) return drain();
    return {};
  }

  // Reads the answers of every statement sent, up to a sync point it asks for; the first error
  // among them (those after it are not run: the server aborts the rest).
  std::expected<void, Error> drain() {
    std::optional<Error> first_error;
    if (!pq().PQpipelineSync(connection_)) first_error = failure(nullptr);
    for (std::vector<SqlRow>* rows : awaited_) {
      // Each statement's answer ends with a null result.
      while (const Result result{pq().PQgetResult(connection_)}) {
        const auto status = pq().PQresultStatus(result.get());
        if (status == PGRES_TUPLES_OK && rows) *rows = rows_of(result.get());
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && !first_error)
          first_error = failure(result.get());
      }
    }
    awaited_.clear();
    const Result sync{pq().PQgetResult(connection_)};
    if (pq().PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC && !first_error)
      first_error = failure(sync.get());
    if (first_error) return std::unexpected(*first_error);
    return {};
  }

  // Each statement is prepared on the server once per connection, under a name of its own.
  std::expected<std::string, Error> prepared(std::string_view sql, std::span<const Oid> types) {
    std::string key(sql);
    if (const auto found = names_.find(key); found != names_.end()) return found->second;
    // Preparing waits for its answer, which pipeline mode does not allow.
    if (auto flushed = flush(); !flushed) return std::unexpected(flushed.error());
    std::string name = "s" + std::to_string(names_.size());
    const Result result(pq().PQprepare(connection_, name.c_str(),
                                       numbered_placeholders(sql).c_str(),
                                       static_cast<int>(types.size()), types.data()));
    if (pq().PQresultStatus(result.get()) != PGRES_COMMAND_OK)
      return std::unexpected(failure(result.get()));
    names_.emplace(std::move(key), name);
    return name;
  }

  static std::vector<SqlRow> rows_of(const PGresult* result) {
    std::vector<SqlRow> rows;
    const int count = pq().PQntuples(result);
    const int columns = pq().PQnfields(result);
    for (int row = 0; row < count; ++row) {
      SqlRow values;
      for (int column = 0; column < columns; ++column) {
        if (pq().PQgetisnull(result, row, column)) {
          values.emplace_back(std::monostate{});
          continue;
        }
        const char* data = pq().PQgetvalue(result, row, column);
        const int size = pq().PQgetlength(result, row, column);
        const Oid type = pq().PQftype(result, column);
        if (type == kInt8Oid || type == kInt4Oid || type == kInt2Oid)
          values.emplace_back(big_endian_integer(data, size));
        else
          values.emplace_back(std::string(data, static_cast<std::size_t>(size)));
      }
      rows.push_back(std::move(values));
    }
    return rows;
  }

  PGconn* connection_;
  std::map<std::string, std::string, std::less<>> names_;
  std::set<std::string, std::less<>> run_once_;  // run by `run` at least once
  std::vector<std::vector<SqlRow>*> awaited_;    // sent, answers not yet read
};

// libpq's own text, with every occurrence of the password (when there is one) blotted out:
// some of its messages quote parts of the connection string.
std::string without_password(std::string text, const std::optional<std::string>& password) {
  if (!password || password->empty()) return text;
  for (std::size_t at = text.find(*password); at != std::string::npos;
       at = text.find(*password, at))
    text.replace(at, password->size(), "***");
  return text;
}

// The password the connection string itself holds, if any.
std::expected<std::optional<std::string>, Error> password_in(const std::string& conninfo) {
  char* error = nullptr;
  PQconninfoOption* options = pq().PQconninfoParse(conninfo.c_str(), &error);
  if (!options) {
    pq().PQfreemem(error);  // its text may quote the password
    return std::unexpected(Error{"the PostgreSQL connection string is malformed"});
  }
  std::optional<std::string> password;
  for (const PQconninfoOption* option = options; option->keyword; ++option)
    if (std::strcmp(option->keyword, "password") == 0 && option->val) password = option->val;
  pq().PQconninfoFree(options);
  return password;
}

}  // namespace

bool is_postgres_address(std::string_view db) {
  return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

std::expected<std::unique_ptr<SqlDatabase>, Error> open_postgres_database(
    const std::string& conninfo) {
  if (auto library = load_libpq(); !library) return std::unexpected(library.error());
  const auto password = password_in(conninfo);
  if (!password) return std::unexpected(password.error());
  // A server that never answers is given up after 10 s, unless the connection string or
  // PGCONNECT_TIMEOUT says otherwise (libpq would wait as long as the kernel keeps trying).
  std::vector<const char*> keywords;
  std::vector<const char*> values;
  if (std::getenv("PGCONNECT_TIMEOUT") == nullptr) {
    keywords.push_back("connect_timeout");
    values.push_back("10");
  }
  // Notices (such as "relation already exists, skipping") are no business of the user: the
  // server is asked not to send them in the start-up message, which costs no round trip, beside
  // any options PGOPTIONS gives (a connection string's own options replace both).
  const char* environment_options = std::getenv("PGOPTIONS");
  const std::string options =
      (environment_options ? std::string(environment_options) + " " : std::string()) +
      "-c client_min_messages=warning";
  keywords.push_back("options");
  values.push_back(options.c_str());
  // The connection string is expanded in the place of dbname, so what it says wins.
  keywords.insert(keywords.end(), {"dbname", nullptr});
  values.insert(values.end(), {conninfo.c_str(), nullptr});
  PGconn* connection = pq().PQconnectdbParams(keywords.data(), values.data(), 1);
  if (!connection) return std::unexpected(Error{"out of memory"});
  if (pq().PQstatus(connection) != CONNECTION_OK) {
    const std::string reason =
        one_line(without_password(pq().PQerrorMessage(connection), *password));
    pq().PQfinish(connection);
    return std::unexpected(Error{"PostgreSQL server: " + reason});
  }
  // Nor are those a connection string's own options let through.
  pq().PQsetNoticeProcessor(
      connection, [](void*, const char*) {}, nullptr);
  return std::make_unique<PostgresDatabase>(connection);
}

}  // namespace certwright
