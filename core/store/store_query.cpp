#include "core/store/store_query.h"

#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "core/store/artifact_digest.h"
#include "core/verify/allowed_signers.h"

namespace certwright {
namespace {

// The statement and its parameters, grown one fixed condition at a time: nothing a user or a
// certificate wrote is ever part of the text.
struct Statement {
  std::string sql;
  std::vector<SqlValue> params;

  void where(std::string_view condition, std::initializer_list<SqlValue> values) {
    sql += " AND ";
    sql += condition;
    params.insert(params.end(), values);
  }
};

const std::string kPassed = "passed";
const std::string kSkipped = "skipped";

void add_conditions(Statement& statement, const StoreQuery& query) {
  for (const std::string& digest : query.digests) {
    // The digest index holds each digest's first 8 bytes (artifact_digest.h).
    const std::string bytes = digest_bytes(digest);
    if (query.stage)
      statement.where(
          "c.seq IN (SELECT a.certificate_seq FROM artifacts a JOIN stages s ON "
          "s.certificate_seq = a.certificate_seq AND s.position = a.stage_position "
          "WHERE substr(a.digest, 1, 8) = ? AND a.digest = ? AND s.stage_id = ?)",
          {digest_key(bytes), bytes, *query.stage});
    else
      statement.where(
          "c.seq IN (SELECT a.certificate_seq FROM artifacts a "
          "WHERE substr(a.digest, 1, 8) = ? AND a.digest = ?)",
          {digest_key(bytes), bytes});
  }
  if (query.stage && query.digests.empty())
    statement.where(
        "EXISTS (SELECT 1 FROM stages s WHERE s.certificate_seq = c.seq AND s.stage_id = ?)",
        {*query.stage});
  if (query.run_id) statement.where("c.run_id = ?", {*query.run_id});
  if (query.plain) statement.where("c.signer_subject IS NULL", {});
  if (query.signer_subject || query.signer_identity_provider)
    statement.where("c.signer_subject IS NOT NULL", {});
  if (query.key_fingerprint) statement.where("c.key_fingerprint = ?", {*query.key_fingerprint});
  if (query.kind) statement.where("c.kind = ?", {*query.kind});
  if (query.status) statement.where("c.status = ?", {*query.status});
  if (query.since)
    statement.where("(c.time_seconds > ? OR (c.time_seconds = ? AND c.time_nanos >= ?))",
                    {query.since->unix_seconds, query.since->unix_seconds,
                     static_cast<std::int64_t>(query.since->nanos)});
  if (query.until)
    statement.where("(c.time_seconds < ? OR (c.time_seconds = ? AND c.time_nanos <= ?))",
                    {query.until->unix_seconds, query.until->unix_seconds,
                     static_cast<std::int64_t>(query.until->nanos)});
  for (const std::string& stage : query.missing_stages)
    statement.where(
        "NOT EXISTS (SELECT 1 FROM stages s WHERE s.certificate_seq = c.seq AND "
        "s.stage_id = ? AND s.status = ?)",
        {stage, kPassed});
  if (query.skipped)
    statement.where(
        "EXISTS (SELECT 1 FROM stages s WHERE s.certificate_seq = c.seq AND s.status = ?)",
        {kSkipped});
}

bool signer_matches(const StoreQuery& query, const QueryMatch& match) {
  if (query.signer_subject &&
      !(match.signer_subject && matches_pattern(*query.signer_subject, *match.signer_subject)))
    return false;
  if (query.signer_identity_provider &&
      !(match.signer_identity_provider &&
        matches_pattern(*query.signer_identity_provider, *match.signer_identity_provider)))
    return false;
  return true;
}

std::expected<std::vector<QueryHit>, Error> hits_of(SqlDatabase& db, const StoreQuery& query,
                                                    std::int64_t seq) {
  std::vector<QueryHit> hits;
  for (const std::string& digest : query.digests) {
    Statement statement{
        "SELECT s.stage_id, a.name FROM artifacts a JOIN stages s ON s.certificate_seq = "
        "a.certificate_seq AND s.position = a.stage_position WHERE a.certificate_seq = ?",
        {seq}};
    statement.where("a.digest = ?", {digest_bytes(digest)});
    if (query.stage) statement.where("s.stage_id = ?", {*query.stage});
    statement.sql += " ORDER BY a.stage_position, a.name";
    const auto rows = db.run(statement.sql, statement.params);
    if (!rows) return std::unexpected(rows.error());
    for (const SqlRow& row : *rows)
      hits.push_back({bytes_of(row.at(0)), bytes_of(row.at(1))});
  }
  return hits;
}

}  // namespace

std::expected<std::vector<QueryMatch>, Error> run_query(SqlDatabase& db, const StoreQuery& query) {
  Statement statement{
      "SELECT c.seq, c.certificate_hash, c.run_id, c.time_seconds, c.time_nanos, "
      "c.signer_subject, c.signer_identity_provider, c.key_fingerprint, c.kind "
      "FROM certificates c WHERE 1 = 1",
      {}};
  add_conditions(statement, query);
  statement.sql += " ORDER BY c.time_seconds, c.time_nanos, c.certificate_hash";
  // Signer patterns are matched here, after the rows are read, so the limit is too.
  const bool patterns = query.signer_subject || query.signer_identity_provider;
  if (query.limit && !patterns) {
    statement.sql += " LIMIT ?";
    statement.params.emplace_back(*query.limit);
  }
  std::vector<QueryMatch> matches;
  std::optional<Error> failure;
  const auto listed = db.for_each_row(statement.sql, statement.params, [&](SqlRow&& row) {
    if (query.limit && std::cmp_greater_equal(matches.size(), *query.limit)) return false;
    QueryMatch match{bytes_of(row.at(1)),
                     bytes_of(row.at(2)),
                     {integer_of(row.at(3)), static_cast<std::uint32_t>(integer_of(row.at(4)))},
                     optional_bytes_of(row.at(5)),
                     optional_bytes_of(row.at(6)),
                     bytes_of(row.at(7)),
                     bytes_of(row.at(8)),
                     {}};
    if (!signer_matches(query, match)) return true;
    auto hits = hits_of(db, query, integer_of(row.at(0)));
    if (!hits) {
      failure = hits.error();
      return false;
    }
    match.hits = std::move(*hits);
    matches.push_back(std::move(match));
    return true;
  });
  if (!listed) return std::unexpected(listed.error());
  if (failure) return std::unexpected(*failure);
  return matches;
}

}  // namespace certwright
