#include "core/store/certificate_store.h"

#include <algorithm>
#include <array>
#include <map>

#include "core/base/content_hash.h"
#include "core/base/text.h"
#include "core/store/artifact_digest.h"
#include "core/store/postgres_database.h"
#include "core/store/sqlite_database.h"
#include "core/store/store_schema.h"

namespace certwright {
namespace {

SqlValue optional_value(const std::optional<std::string>& text) {
  if (!text) return std::monostate{};
  return *text;
}

// How many rows one insert_rows call takes at most: a certificate of 120,000 artifacts is sent
// in chunks rather than held twice.
constexpr std::size_t kRowsPerInsert = 4096;

// Rows of one table gathered for insert_rows, sent a chunk at a time.
class PendingRows {
 public:
  PendingRows(std::string_view table, std::initializer_list<std::string_view> columns)
      : table_(table), columns_(columns) {}

  std::expected<void, Error> add(SqlDatabase& db, SqlRow row) {
    rows_.push_back(std::move(row));
    if (rows_.size() < kRowsPerInsert) return {};
    return send(db);
  }

  std::expected<void, Error> send(SqlDatabase& db) {
    if (rows_.empty()) return {};
    auto sent = db.insert_rows(table_, columns_, rows_);
    rows_.clear();
    return sent;
  }

 private:
  std::string_view table_;
  std::vector<std::string_view> columns_;
  std::vector<SqlRow> rows_;
};

// An artifact of a certificate being added, before it becomes a row.
struct PendingArtifact {
  std::string_view digest;
  std::int64_t seq = 0;
  std::int64_t stage_position = 0;
  const StoredArtifact* artifact = nullptr;
};

// The rows of a batch's stages, artifacts and inputs, inserted many to a statement. Each
// references only its certificate's row, which is queued before them.
struct FactRows {
  std::vector<PendingArtifact> pending_artifacts;
  PendingRows stages{"stages", {"certificate_seq", "position", "stage_id", "status"}};
  PendingRows artifacts{"artifacts",
                        {"certificate_seq", "stage_position", "name", "digest", "digest_text"}};
  PendingRows inputs{
      "inputs",
      {"certificate_seq", "requirements_hash", "spec_id", "spec_hash", "build_spec_hash", "posture",
       "corpus_attestation_hash", "sbom_bom_hash", "sbom_audit_hash"}};

  // The batch's artifacts go in the order of their digests, which is the digest index's order
  // (lower-case hex sorts as the bytes it spells): each page of the index is then read and
  // written once per batch, where rows in their certificates' order touched its pages at
  // random, and a store larger than the page cache read and wrote them again and again (adding
  // 5,000 demo certificates to a store of 50,000: 36,032 page writes and 28,393 reads before,
  // 24,293 and 16,730 after).
  std::expected<void, Error> send(SqlDatabase& db) {
    std::ranges::sort(pending_artifacts, {}, &PendingArtifact::digest);
    for (const PendingArtifact& pending : pending_artifacts) {
      auto [digest, digest_text] = digest_columns(pending.artifact->digest);
      if (auto added =
              artifacts.add(db, {pending.seq, pending.stage_position, pending.artifact->name,
                                 std::move(digest), std::move(digest_text)});
          !added)
        return added;
    }
    pending_artifacts.clear();
    for (PendingRows* rows : {&stages, &artifacts, &inputs})
      if (auto sent = rows->send(db); !sent) return sent;
    return {};
  }
};

std::expected<void, Error> insert_facts(SqlDatabase& db, const CertificateFacts& facts,
                                        std::int64_t seq, FactRows& rows) {
  for (std::size_t position = 0; position < facts.stages.size(); ++position) {
    const StoredStage& stage = facts.stages[position];
    const auto at = static_cast<std::int64_t>(position);
    if (auto added = rows.stages.add(db, {seq, at, stage.stage_id, stage.status}); !added)
      return added;
    for (const StoredArtifact& artifact : stage.artifacts)
      rows.pending_artifacts.push_back({artifact.digest, seq, at, &artifact});
  }
  if (auto added = rows.inputs.add(
          db, {seq, facts.requirements_hash, optional_value(facts.spec_id),
               optional_value(facts.spec_hash), facts.build_spec_hash,
               optional_value(facts.posture), optional_value(facts.corpus_attestation_hash),
               optional_value(facts.sbom_bom_hash), optional_value(facts.sbom_audit_hash)});
      !added)
    return added;
  const std::array<SqlValue, 4> key = {facts.key_fingerprint, facts.public_key, seq,
                                       facts.key_fingerprint};
  if (auto inserted =
          db.queue("INSERT INTO keys (fingerprint, public_key, first_seq) SELECT ?, ?, ? "
                   "WHERE NOT EXISTS (SELECT 1 FROM keys WHERE fingerprint = ?)",
                   key);
      !inserted)
    return std::unexpected(inserted.error());
  return {};
}

// The column list of `certificates` as load reads it.
constexpr std::string_view kCertificateColumns =
    "certificate_hash, file_sha256, form, run_id, time_seconds, time_nanos, status, "
    "signer_subject, signer_identity_provider, signer_session_id, key_fingerprint, kind, "
    "added_seconds, bytes";

std::expected<void, Error> load_stages(SqlDatabase& db, StoredCertificate& stored) {
  const std::array<SqlValue, 1> seq = {stored.seq};
  const auto stages = db.run(
      "SELECT stage_id, status FROM stages WHERE certificate_seq = ? ORDER BY position", seq);
  if (!stages) return std::unexpected(stages.error());
  for (const SqlRow& row : *stages)
    stored.facts.stages.push_back({bytes_of(row.at(0)), bytes_of(row.at(1)), {}});
  const auto artifacts = db.run(
      "SELECT stage_position, name, digest, digest_text FROM artifacts WHERE certificate_seq = ? "
      "ORDER BY stage_position, name",
      seq);
  if (!artifacts) return std::unexpected(artifacts.error());
  for (const SqlRow& row : *artifacts) {
    const auto position = static_cast<std::size_t>(integer_of(row.at(0)));
    if (position >= stored.facts.stages.size())
      return std::unexpected(Error{"an artifact of certificate " + std::to_string(stored.seq) +
                                   " names a stage it does not have"});
    stored.facts.stages[position].artifacts.push_back(
        {bytes_of(row.at(1)), digest_text_of(row.at(2), row.at(3))});
  }
  return {};
}

std::expected<void, Error> load_inputs(SqlDatabase& db, StoredCertificate& stored) {
  const std::array<SqlValue, 1> seq = {stored.seq};
  const auto inputs = db.run(
      "SELECT requirements_hash, spec_id, spec_hash, build_spec_hash, posture, "
      "corpus_attestation_hash, sbom_bom_hash, sbom_audit_hash FROM inputs "
      "WHERE certificate_seq = ?",
      seq);
  if (!inputs) return std::unexpected(inputs.error());
  if (inputs->empty()) return {};  // the comparison with the certificate shows it missing
  const SqlRow& row = inputs->front();
  CertificateFacts& facts = stored.facts;
  facts.requirements_hash = bytes_of(row.at(0));
  facts.spec_id = optional_bytes_of(row.at(1));
  facts.spec_hash = optional_bytes_of(row.at(2));
  facts.build_spec_hash = bytes_of(row.at(3));
  facts.posture = optional_bytes_of(row.at(4));
  facts.corpus_attestation_hash = optional_bytes_of(row.at(5));
  facts.sbom_bom_hash = optional_bytes_of(row.at(6));
  facts.sbom_audit_hash = optional_bytes_of(row.at(7));
  const std::array<SqlValue, 1> fingerprint = {facts.key_fingerprint};
  const auto key = db.run("SELECT public_key FROM keys WHERE fingerprint = ?", fingerprint);
  if (!key) return std::unexpected(key.error());
  if (!key->empty()) facts.public_key = bytes_of(key->front().at(0));
  return {};
}

// Queues the rows of a certificate not yet stored, under `seq`; its facts' rows join `rows`.
std::expected<void, Error> insert(SqlDatabase& db, const NewCertificate& certificate,
                                  std::int64_t seq, std::int64_t now_seconds, FactRows& rows) {
  const CertificateFacts& facts = certificate.facts;
  const std::array<SqlValue, 15> row = {
      seq,
      facts.certificate_hash,
      certificate.file_sha256.empty() ? hash_bytes(certificate.bytes) : certificate.file_sha256,
      certificate.form,
      facts.run_id,
      facts.trusted_time.unix_seconds,
      static_cast<std::int64_t>(facts.trusted_time.nanos),
      facts.status,
      optional_value(facts.signer_subject),
      optional_value(facts.signer_identity_provider),
      optional_value(facts.signer_session_id),
      facts.key_fingerprint,
      facts.kind,
      now_seconds,
      certificate.bytes};
  if (auto inserted =
          db.queue("INSERT INTO certificates (seq, " + std::string(kCertificateColumns) +
                       ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                   row);
      !inserted)
    return inserted;
  return insert_facts(db, facts, seq, rows);
}

}  // namespace

std::expected<std::vector<AddOutcome>, Error> CertificateStore::add(
    std::span<const NewCertificate> batch, std::int64_t now_seconds) {
  if (auto begun = db_->begin_writing(); !begun) return std::unexpected(begun.error());
  std::vector<AddOutcome> outcomes;
  auto added = [&]() -> std::expected<void, Error> {
    // The write transaction is this process's alone, so the numbers stay without gaps.
    const auto last = db_->run("SELECT coalesce(max(seq), 0) FROM certificates", {});
    if (!last) return std::unexpected(last.error());
    std::int64_t next = integer_of(last->front().at(0)) + 1;
    std::vector<std::vector<SqlValue>> hashes;
    for (const NewCertificate& certificate : batch)
      hashes.push_back({certificate.facts.certificate_hash});
    const auto existing =
        db_->run_each("SELECT seq FROM certificates WHERE certificate_hash = ?", hashes);
    if (!existing) return std::unexpected(existing.error());
    // A certificate twice in the batch is stored once, under the first one's number.
    std::map<std::string_view, std::int64_t> in_batch;
    FactRows rows;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const std::string& hash = batch[i].facts.certificate_hash;
      if (!(*existing)[i].empty()) {
        outcomes.push_back({integer_of((*existing)[i].front().at(0)), false});
      } else if (const auto found = in_batch.find(hash); found != in_batch.end()) {
        outcomes.push_back({found->second, false});
      } else {
        if (auto inserted = insert(*db_, batch[i], next, now_seconds, rows); !inserted)
          return inserted;
        in_batch.emplace(hash, next);
        outcomes.push_back({next++, true});
      }
    }
    if (auto sent = rows.send(*db_); !sent) return sent;
    if (auto flushed = db_->flush(); !flushed) return flushed;
    return db_->execute("COMMIT");
  }();
  if (!added) {
    (void)db_->execute("ROLLBACK");
    return std::unexpected(added.error());
  }
  return outcomes;
}

std::expected<std::vector<std::int64_t>, Error> CertificateStore::with_hash_prefix(
    std::string_view prefix, std::int64_t limit) {
  // Every hash that starts with the prefix sorts at or after it and before the prefix followed
  // by a byte above any hex digit.
  const std::array<SqlValue, 3> range = {std::string(prefix), std::string(prefix) + "\x7f", limit};
  const auto rows = db_->run(
      "SELECT seq FROM certificates WHERE certificate_hash >= ? AND certificate_hash < ? "
      "ORDER BY certificate_hash LIMIT ?",
      range);
  if (!rows) return std::unexpected(rows.error());
  std::vector<std::int64_t> seqs;
  for (const SqlRow& row : *rows)
    seqs.push_back(integer_of(row.at(0)));
  return seqs;
}

std::expected<StoredCertificate, Error> CertificateStore::load(std::int64_t seq) {
  const std::array<SqlValue, 1> key = {seq};
  const auto rows = db_->run(
      "SELECT " + std::string(kCertificateColumns) + " FROM certificates WHERE seq = ?", key);
  if (!rows) return std::unexpected(rows.error());
  if (rows->empty())
    return std::unexpected(Error{"no certificate under sequence number " + std::to_string(seq)});
  const SqlRow& row = rows->front();
  StoredCertificate stored;
  stored.seq = seq;
  CertificateFacts& facts = stored.facts;
  facts.certificate_hash = bytes_of(row.at(0));
  stored.file_sha256 = bytes_of(row.at(1));
  stored.form = bytes_of(row.at(2));
  facts.run_id = bytes_of(row.at(3));
  facts.trusted_time = {integer_of(row.at(4)), static_cast<std::uint32_t>(integer_of(row.at(5)))};
  facts.status = bytes_of(row.at(6));
  facts.signer_subject = optional_bytes_of(row.at(7));
  facts.signer_identity_provider = optional_bytes_of(row.at(8));
  facts.signer_session_id = optional_bytes_of(row.at(9));
  facts.key_fingerprint = bytes_of(row.at(10));
  facts.kind = bytes_of(row.at(11));
  stored.added_seconds = integer_of(row.at(12));
  stored.bytes = bytes_of(row.at(13));
  if (auto stages = load_stages(*db_, stored); !stages) return std::unexpected(stages.error());
  if (auto inputs = load_inputs(*db_, stored); !inputs) return std::unexpected(inputs.error());
  return stored;
}

std::expected<std::vector<std::int64_t>, Error> CertificateStore::sequence_numbers(
    std::int64_t after, std::int64_t limit) {
  const std::array<SqlValue, 2> range = {after, limit};
  const auto rows =
      db_->run("SELECT seq FROM certificates WHERE seq > ? ORDER BY seq LIMIT ?", range);
  if (!rows) return std::unexpected(rows.error());
  std::vector<std::int64_t> seqs;
  for (const SqlRow& row : *rows)
    seqs.push_back(integer_of(row.at(0)));
  return seqs;
}

std::expected<CertificateStore, Error> open_store(const std::string& db) {
  const bool postgres = is_postgres_address(db);
  auto database = postgres ? open_postgres_database(db) : open_sqlite_database(db);
  if (!database) return std::unexpected(database.error());
  if (auto prepared = prepare_store(**database); !prepared) {
    const std::string shown = postgres ? "PostgreSQL index" : "index " + lossy_utf8(db);
    return std::unexpected(Error{shown + ": " + prepared.error().message});
  }
  return CertificateStore(std::move(*database));
}

}  // namespace certwright
