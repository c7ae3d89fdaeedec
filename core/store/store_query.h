// Selecting stored certificates by the facts the index keeps.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "core/base/date_time.h"
#include "core/base/error.h"
#include "core/store/sql_database.h"

namespace certwright {

// Filters, all of which a certificate must meet. Texts compare exactly, byte for byte; the
// signer's two patterns are allowed-signers patterns, "*" for any run of characters, and never
// match a certificate without a signer.
struct StoreQuery {
  std::vector<std::string> digests;  // each recorded by some stage (by `stage`, when given)
  std::optional<std::string> run_id;
  std::optional<std::string> signer_subject;
  std::optional<std::string> signer_identity_provider;
  bool plain = false;  // names no signer
  std::optional<std::string> key_fingerprint;
  std::optional<std::string> kind;
  std::optional<std::string> status;
  std::optional<UtcTime> since;             // inclusive
  std::optional<UtcTime> until;             // inclusive
  std::vector<std::string> missing_stages;  // no passed record of each
  bool skipped = false;                     // some stage skipped
  std::optional<std::string> stage;         // with digests: where they must be; else recorded
  std::optional<std::int64_t> limit;
};

// A stage and artifact where a queried digest was found.
struct QueryHit {
  std::string stage;
  std::string artifact;
};

struct QueryMatch {
  std::string certificate_hash;
  std::string run_id;
  UtcTime trusted_time;
  std::optional<std::string> signer_subject;
  std::optional<std::string> signer_identity_provider;
  std::string key_fingerprint;
  std::string kind;
  std::vector<QueryHit> hits;  // for digest queries: every place a digest is recorded
};

// The matching certificates ordered by trusted time, then hash; the server's error otherwise.
std::expected<std::vector<QueryMatch>, Error> run_query(SqlDatabase& db, const StoreQuery& query);

}  // namespace certwright
