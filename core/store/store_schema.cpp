#include "core/store/store_schema.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "core/store/artifact_digest.h"

namespace certwright {
namespace {

// In the statements "BYTES" and "INT" stand for the dialect's column types, and "HASHED" for an
// index that finds equal values whatever their size: PostgreSQL's B-tree refuses keys above
// 2.7 kB (a 1 MiB run id), its hash index stores only their hash; SQLite's B-tree takes any size.

// Version 1, as the first release made it.
constexpr std::string_view kVersion1 = R"(
CREATE TABLE certificates (
  seq INT PRIMARY KEY,
  certificate_hash BYTES NOT NULL UNIQUE,
  file_sha256 BYTES NOT NULL,
  form BYTES NOT NULL,
  run_id BYTES NOT NULL,
  time_seconds INT NOT NULL,
  time_nanos INT NOT NULL,
  status BYTES NOT NULL,
  signer_subject BYTES,
  signer_identity_provider BYTES,
  signer_session_id BYTES,
  key_fingerprint BYTES NOT NULL,
  kind BYTES NOT NULL,
  added_seconds INT NOT NULL,
  bytes BYTES NOT NULL
);
CREATE INDEX certificates_by_time ON certificates (time_seconds, time_nanos, certificate_hash);
CREATE INDEX certificates_by_run_id ON certificates HASHED (run_id);
CREATE INDEX certificates_by_key ON certificates (key_fingerprint);
CREATE TABLE stages (
  certificate_seq INT NOT NULL REFERENCES certificates (seq),
  position INT NOT NULL,
  stage_id BYTES NOT NULL,
  status BYTES NOT NULL,
  PRIMARY KEY (certificate_seq, position)
);
CREATE INDEX stages_by_id ON stages HASHED (stage_id);
CREATE TABLE artifacts (
  certificate_seq INT NOT NULL REFERENCES certificates (seq),
  stage_position INT NOT NULL,
  name BYTES NOT NULL,
  digest BYTES NOT NULL
);
CREATE INDEX artifacts_by_digest ON artifacts HASHED (digest);
CREATE INDEX artifacts_by_certificate ON artifacts (certificate_seq, stage_position);
CREATE TABLE inputs (
  certificate_seq INT PRIMARY KEY REFERENCES certificates (seq),
  requirements_hash BYTES NOT NULL,
  spec_id BYTES,
  spec_hash BYTES,
  build_spec_hash BYTES NOT NULL,
  posture BYTES,
  corpus_attestation_hash BYTES,
  sbom_bom_hash BYTES,
  sbom_audit_hash BYTES
);
CREATE TABLE keys (
  fingerprint BYTES PRIMARY KEY,
  public_key BYTES NOT NULL,
  first_seq INT NOT NULL REFERENCES certificates (seq)
);
)";

// Version 2: an artifact's digest as 32 bytes (artifact_digest.h), its other texts beside.
constexpr std::string_view kArtifactsVersion2 = R"(
CREATE TABLE artifacts_v2 (
  certificate_seq INT NOT NULL REFERENCES certificates (seq),
  stage_position INT NOT NULL,
  name BYTES NOT NULL,
  digest BYTES,
  digest_text BYTES
);
)";
constexpr std::string_view kArtifactsVersion2Indexed = R"(
DROP TABLE artifacts;
ALTER TABLE artifacts_v2 RENAME TO artifacts;
CREATE INDEX artifacts_by_digest ON artifacts HASHED ((substr(digest, 1, 8)));
CREATE INDEX artifacts_by_certificate ON artifacts (certificate_seq, stage_position);
)";

// How many converted rows go to one insert_rows.
constexpr std::size_t kConvertedRowsPerInsert = 4096;

// Copies every artifact row of version 1 into the version-2 table, its digest converted, one
// certificate at a time: a store of millions of rows is never held, nor more than the rows of
// one certificate.
std::expected<void, Error> convert_artifacts(SqlDatabase& db) {
  const auto last = db.run("SELECT coalesce(max(certificate_seq), 0) FROM artifacts", {});
  if (!last) return std::unexpected(last.error());
  constexpr std::array<std::string_view, 5> kColumns = {"certificate_seq", "stage_position", "name",
                                                        "digest", "digest_text"};
  const std::int64_t last_seq = integer_of(last->front().at(0));
  for (std::int64_t seq = 1; seq <= last_seq; ++seq) {
    const std::array<SqlValue, 1> key = {seq};
    auto rows = db.run(
        "SELECT certificate_seq, stage_position, name, digest FROM artifacts "
        "WHERE certificate_seq = ?",
        key);
    if (!rows) return std::unexpected(rows.error());
    std::vector<SqlRow> converted;
    for (std::size_t at = 0; at < rows->size(); ++at) {
      SqlRow& row = (*rows)[at];
      auto [digest, digest_text] = digest_columns(bytes_of(row.at(3)));
      row.at(3) = std::move(digest);
      row.push_back(std::move(digest_text));
      converted.push_back(std::move(row));
      if (converted.size() == kConvertedRowsPerInsert || at + 1 == rows->size()) {
        if (auto inserted = db.insert_rows("artifacts_v2", kColumns, converted); !inserted)
          return inserted;
        converted.clear();
      }
    }
  }
  return db.flush();
}

// Each step takes the schema from the version of its index to the next, never back: its
// statements, then its conversion of the rows, then its statements that follow.
struct Migration {
  std::string_view statements;
  std::expected<void, Error> (*convert)(SqlDatabase&);
  std::string_view statements_after;
};

constexpr std::array<Migration, kStoreSchemaVersion> kMigrations = {{
    {kVersion1, nullptr, {}},
    {kArtifactsVersion2, convert_artifacts, kArtifactsVersion2Indexed},
}};

// The marker row that says a database is an index, and its schema version.
constexpr std::string_view kMarkerTable =
    "CREATE TABLE certwright_index (name BYTES PRIMARY KEY, value BYTES NOT NULL)";

struct DialectWord {
  std::string_view token;
  std::string_view sqlite;
  std::string_view postgresql;
};

constexpr std::array<DialectWord, 3> kDialectWords = {{
    {"BYTES", "BLOB", "bytea"},
    {"INT", "INTEGER", "bigint"},
    {"HASHED ", "", "USING hash "},
}};

std::string in_dialect(std::string_view sql, SqlDialect dialect) {
  std::string text(sql);
  for (const DialectWord& word : kDialectWords) {
    const std::string_view type = dialect == SqlDialect::sqlite ? word.sqlite : word.postgresql;
    for (std::size_t at = text.find(word.token); at != std::string::npos;
         at = text.find(word.token, at + type.size()))
      text.replace(at, word.token.size(), type);
  }
  return text;
}

const SqlValue kVersionName = std::string("schema-version");

// The stored schema version; -1 when the database holds no index yet; an error for a
// database that is not ours or not a database.
std::expected<std::int64_t, Error> stored_version(SqlDatabase& db) {
  const bool sqlite = db.dialect() == SqlDialect::sqlite;
  const auto tables =
      db.run(sqlite ? "SELECT name FROM sqlite_master WHERE type = 'table'"
                    : "SELECT convert_to(table_name::text, 'UTF8') FROM information_schema.tables "
                      "WHERE table_schema = current_schema()",
             {});
  if (!tables) return std::unexpected(tables.error());
  bool marked = false;
  for (const SqlRow& row : *tables)
    marked |= bytes_of(row.at(0)) == "certwright_index";
  if (!marked && sqlite && !tables->empty())
    return std::unexpected(Error{"not a certwright index: the file holds other tables"});
  if (!marked) return -1;
  const auto version =
      db.run("SELECT value FROM certwright_index WHERE name = ?", std::span(&kVersionName, 1));
  if (!version) return std::unexpected(version.error());
  if (version->empty()) return std::unexpected(Error{"not a certwright index: no schema version"});
  const std::string& text = bytes_of(version->front().at(0));
  std::int64_t number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || number > 1'000'000)
      return std::unexpected(Error{"not a certwright index: malformed schema version"});
    number = number * 10 + (c - '0');
  }
  return number;
}

std::expected<void, Error> migrate(SqlDatabase& db, std::int64_t from) {
  if (from < 0) {
    if (auto made = db.execute(in_dialect(kMarkerTable, db.dialect())); !made) return made;
    const std::array<SqlValue, 2> row = {kVersionName, std::string("0")};
    if (auto marked = db.run("INSERT INTO certwright_index (name, value) VALUES (?, ?)", row);
        !marked)
      return std::unexpected(marked.error());
  }
  for (std::int64_t version = std::max<std::int64_t>(from, 0); version < kStoreSchemaVersion;
       ++version) {
    const Migration& step = kMigrations[static_cast<std::size_t>(version)];
    if (auto made = db.execute(in_dialect(step.statements, db.dialect())); !made) return made;
    if (step.convert)
      if (auto converted = step.convert(db); !converted) return converted;
    if (!step.statements_after.empty())
      if (auto made = db.execute(in_dialect(step.statements_after, db.dialect())); !made)
        return made;
  }
  const std::array<SqlValue, 2> row = {std::to_string(kStoreSchemaVersion), kVersionName};
  if (auto updated = db.run("UPDATE certwright_index SET value = ? WHERE name = ?", row); !updated)
    return std::unexpected(updated.error());
  return {};
}

// Inside the write transaction: another process may have made or migrated the store since it
// was first read.
std::expected<void, Error> migrate_if_older(SqlDatabase& db) {
  const auto version = stored_version(db);
  if (!version) return std::unexpected(version.error());
  if (*version >= kStoreSchemaVersion) return {};
  return migrate(db, *version);
}

}  // namespace

std::expected<void, Error> prepare_store(SqlDatabase& db) {
  // Read first, outside any transaction: a file that is not ours is never written to.
  auto version = stored_version(db);
  if (!version) return std::unexpected(version.error());
  if (*version > kStoreSchemaVersion)
    return std::unexpected(Error{"the index has schema version " + std::to_string(*version) +
                                 "; this program knows versions up to " +
                                 std::to_string(kStoreSchemaVersion)});
  if (db.dialect() == SqlDialect::sqlite) {
    // Pages of 16 KiB for a store made now (one that exists keeps its own): a demo
    // certificate's row of 2.8 kB fills a page of 4 KiB alone, 1.3 kB of it left unused, five of
    // them fill one of 16 KiB.
    if (*version < 0)
      if (auto paged = db.execute("PRAGMA page_size = 16384"); !paged) return paged;
    if (auto wal = db.run("PRAGMA journal_mode = WAL", {}); !wal)
      return std::unexpected(wal.error());
    // Commits are not flushed, checkpoints are: a crash loses no committed batch short of the
    // machine's own. A page cache of 8 MiB (2 MiB by default) keeps more of the artifact
    // index that each batch touches: with batches of 1,024, adding 10,000 demo certificates
    // reads 55,000 pages instead of 191,000 and writes 108,000 instead of 272,000.
    if (auto sync = db.execute("PRAGMA synchronous = NORMAL; PRAGMA cache_size = -8192"); !sync)
      return sync;
  }
  if (*version == kStoreSchemaVersion) return {};
  if (auto begun = db.begin_writing(); !begun) return begun;
  if (auto migrated = migrate_if_older(db); !migrated) {
    (void)db.execute("ROLLBACK");
    return migrated;
  }
  return db.execute("COMMIT");
}

}  // namespace certwright
