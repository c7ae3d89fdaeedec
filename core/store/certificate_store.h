// The index's certificates: adding verified ones, finding and reading them back.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"
#include "core/store/certificate_facts.h"
#include "core/store/sql_database.h"

namespace certwright {

// How the bytes came: a certificate file, or a bundle or envelope holding one.
inline constexpr std::string_view kFormCertificate = "certificate";
inline constexpr std::string_view kFormAttestation = "attestation";

// A verified certificate on its way in.
struct NewCertificate {
  CertificateFacts facts;
  std::string form;
  std::string bytes;  // the file exactly as it was read
  // hash_bytes(bytes), when the caller took it already (on a worker thread: on the thread that
  // stores a batch it was 15 % of the instructions); taken when the batch is stored otherwise.
  std::string file_sha256;
};

// A certificate as the index holds it.
struct StoredCertificate {
  std::int64_t seq = 0;
  CertificateFacts facts;
  std::string form;
  std::string file_sha256;  // of `bytes`, as recorded when it was added
  std::string bytes;
  std::int64_t added_seconds = 0;
};

// What adding one certificate did: stored under a new sequence number, or found already
// stored (same certificate hash) under its old one.
struct AddOutcome {
  std::int64_t seq = 0;
  bool added = false;
};

class CertificateStore {
 public:
  explicit CertificateStore(std::unique_ptr<SqlDatabase> db) : db_(std::move(db)) {}

  // Adds the batch in one transaction, all or nothing: each certificate not yet stored gets the
  // next sequence number, in the batch's order; the server's error otherwise (then nothing of
  // the batch is stored).
  std::expected<std::vector<AddOutcome>, Error> add(std::span<const NewCertificate> batch,
                                                    std::int64_t now_seconds);

  // The sequence numbers of the certificates whose hash starts with `prefix` (lower-case hex),
  // at most `limit` of them.
  std::expected<std::vector<std::int64_t>, Error> with_hash_prefix(std::string_view prefix,
                                                                   std::int64_t limit);

  // The certificate stored under `seq`, facts read back from their tables.
  std::expected<StoredCertificate, Error> load(std::int64_t seq);

  // Up to `limit` sequence numbers after `after`, in order.
  std::expected<std::vector<std::int64_t>, Error> sequence_numbers(std::int64_t after,
                                                                   std::int64_t limit);

  SqlDatabase& database() { return *db_; }

 private:
  std::unique_ptr<SqlDatabase> db_;
};

// The store named by `db`: a PostgreSQL server for "postgresql://..." or "postgres://...", the
// SQLite file at that path otherwise; made ready for use (prepare_store). The error is one line
// naming the store without its password.
std::expected<CertificateStore, Error> open_store(const std::string& db);

}  // namespace certwright
