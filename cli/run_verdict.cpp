#include "cli/run_verdict.h"

#include <algorithm>

#include "core/base/text.h"
#include "core/seal/public_key.h"

namespace certwright {
namespace {

std::string count_text(std::size_t count, std::string_view what) {
  return std::to_string(count) + " " + std::string(what);
}

std::string drift_text(const StageDrift& drift) {
  if (!drift.drifted()) return "";
  std::vector<std::string> parts;
  if (drift.missing) parts.push_back("directory missing");
  const auto list = [&parts](std::string_view what, const std::vector<std::string>& names) {
    for (const std::string& name : names)
      parts.push_back(std::string(what) + " " + name);
  };
  list("changed", drift.changed);
  list("added", drift.added);
  list("removed", drift.removed);
  std::string text;
  for (const std::string& part : parts)
    text.append(text.empty() ? "" : "; ").append(part);
  return text;
}

std::string coverage_text(const StageCoverage& coverage) {
  std::string text = count_text(coverage.total(), "uncovered");
  for (const std::string& path : coverage.paths)
    text.append(" ").append(path);
  if (coverage.total() > coverage.paths.size()) text.append(" ...");
  return text;
}

}  // namespace

std::string_view shown_text(std::string_view text, std::string& scratch) {
  if (std::ranges::all_of(text, [](char c) { return c >= 0x20 && c < 0x7f; })) return text;
  scratch = single_line(text);
  return scratch;
}

void append_markup(std::string& out, std::string_view text) {
  std::string scratch;
  for (const char c : shown_text(text, scratch)) {
    switch (c) {
      case '&':
        out.append("&amp;");
        break;
      case '<':
        out.append("&lt;");
        break;
      case '>':
        out.append("&gt;");
        break;
      case '"':
        out.append("&quot;");
        break;
      case '\'':
        out.append("&#39;");
        break;
      default:
        out.push_back(c);
    }
  }
}

std::size_t RunVerdict::verified_count() const {
  return static_cast<std::size_t>(std::ranges::count_if(
      reports, [](const NamedReport& named) { return !named.error && named.report.verified(); }));
}

std::string verdict_text(const NamedReport& named) {
  if (named.error) return "UNREADABLE";
  if (!named.report.verified()) return "NOT VERIFIED";
  return named.report.integrity_only ? "intact, not trusted" : "verified";
}

std::vector<FactRow> fact_rows(const VerificationReport& report) {
  if (!report.certificate) return {};
  const GovernanceCertificate& certificate = *report.certificate;
  std::vector<FactRow> rows{
      {"Run", certificate.pipeline_run_id},
      {"Status", to_text(certificate.status)},
      {"Timestamp", format_date_time(certificate.timestamp) + " (the signer's own clock)"}};
  const TrustedTime trusted = report.trusted_time.value_or(TrustedTime{certificate.timestamp});
  rows.push_back(
      {"Trusted time", format_date_time(trusted.time) + " " + clock_text(trusted.clock)});
  if (certificate.signer)
    rows.push_back(
        {"Signer", certificate.signer->subject + " via " + certificate.signer->identity_provider});
  const auto key = parse_public_key(certificate.signing_public_key);
  rows.push_back({"Signing key", std::string(key ? key_fingerprint(*key) : "unknown") + " (" +
                                     to_text(certificate.signing_attestation.kind) + ")"});
  if (report.countersign)
    rows.push_back({"Countersigned", format_date_time(report.countersign->countersigned_at) +
                                         " by " + report.countersign->issuer + " (kid " +
                                         report.countersign->kid + ", key " +
                                         report.countersign->fingerprint + ")"});
  rows.push_back({"Certificate hash", certificate.certificate_hash});
  return rows;
}

std::vector<const CheckResult*> checks_failures_first(const VerificationReport& report) {
  std::vector<const CheckResult*> ordered;
  for (const bool ok : {false, true})
    for (const CheckResult& check : report.checks)
      if (check.ok == ok) ordered.push_back(&check);
  return ordered;
}

std::vector<StageRow> stage_rows(const VerificationReport& report) {
  std::vector<StageRow> rows;
  if (!report.certificate) return rows;
  for (const StageRecord& stage : report.certificate->stages) {
    StageRow row{stage.stage_id, to_text(stage.status), {}, "", ""};
    row.artifacts.reserve(stage.artifact_hashes.size());
    for (const auto& [name, hash] : stage.artifact_hashes)
      row.artifacts.push_back(name);
    if (const auto drift = report.stages.find(stage.stage_id); drift != report.stages.end())
      row.drift = drift_text(drift->second);
    row.coverage = report.coverage_checked ? "complete" : "not checked";
    if (const auto coverage = report.coverage.find(stage.stage_id);
        coverage != report.coverage.end() && coverage->second.total() > 0)
      row.coverage = coverage_text(coverage->second);
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace certwright
