#include "core/verify/release_policy.h"

#include <charconv>
#include <limits>

namespace certwright {
namespace {

constexpr std::int64_t kFutureSkewSeconds = 5 * 60;

std::string in_quotes(std::string_view text) {
  // Appended, not `"\"" + std::string(text)`: GCC 12 at -O3 warns falsely (-Wrestrict) on that.
  std::string quoted = "\"";
  quoted += text;
  quoted += '"';
  return quoted;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items)
    text.append(text.empty() ? "" : "; ").append(item);
  return text;
}

std::string age_text(std::int64_t seconds) {
  if (seconds % 86400 == 0) return std::to_string(seconds / 86400) + "d";
  if (seconds % 3600 == 0) return std::to_string(seconds / 3600) + "h";
  if (seconds % 60 == 0) return std::to_string(seconds / 60) + "m";
  return std::to_string(seconds) + "s";
}

}  // namespace

CheckResult stage_policy_check(const GovernanceCertificate& certificate,
                               const VerificationPolicy& policy) {
  const auto required = [&](const std::string& stage_id) {
    return std::ranges::find(policy.required_stages, stage_id) != policy.required_stages.end();
  };
  std::vector<std::string> problems;
  for (const std::string& stage_id : policy.required_stages)
    if (std::ranges::find(certificate.stages, stage_id, &StageRecord::stage_id) ==
        certificate.stages.end())
      problems.push_back("stage " + in_quotes(stage_id) + " is not recorded");
  // Every record counts: a stage recorded twice passes only when both records passed.
  for (const StageRecord& stage : certificate.stages)
    if (stage.status != CheckStatus::passed && (policy.forbid_skipped || required(stage.stage_id)))
      problems.push_back("stage " + in_quotes(stage.stage_id) + " is " + to_text(stage.status));
  if (policy.forbid_other_stages)
    for (const StageRecord& stage : certificate.stages)
      if (!required(stage.stage_id))
        problems.push_back("stage " + in_quotes(stage.stage_id) +
                           " is recorded but not required, and other stages are forbidden");
  if (!problems.empty()) return {"stage-policy", false, joined(problems)};
  std::size_t passed =
      std::ranges::count(certificate.stages, CheckStatus::passed, &StageRecord::status);
  return {"stage-policy", true,
          std::to_string(policy.required_stages.size()) + " required stages passed; " +
              std::to_string(passed) + " of " + std::to_string(certificate.stages.size()) +
              " recorded stages passed"};
}

CheckResult pipeline_run_id_check(const GovernanceCertificate& certificate,
                                  std::string_view expected) {
  if (certificate.pipeline_run_id == expected)
    return {"pipeline-run-id", true, "pipelineRunId is " + in_quotes(expected)};
  return {"pipeline-run-id", false,
          "pipelineRunId is " + in_quotes(certificate.pipeline_run_id) + ", expected " +
              in_quotes(expected)};
}

CheckResult signer_session_check(const GovernanceCertificate& certificate,
                                 std::string_view expected) {
  if (!certificate.signer || !certificate.signer->session_id)
    return {"signer-session-id", false, "the certificate names no signer session"};
  if (*certificate.signer->session_id == expected)
    return {"signer-session-id", true, "signer.sessionId is " + in_quotes(expected)};
  return {"signer-session-id", false,
          "signer.sessionId is " + in_quotes(*certificate.signer->session_id) + ", expected " +
              in_quotes(expected)};
}

CheckResult max_age_check(const TrustedTime& trusted, std::int64_t max_age_seconds, UtcTime now) {
  const std::int64_t age = now.unix_seconds - trusted.time.unix_seconds;
  const char* label = trusted.clock == TrustedClock::platform              ? "countersignedAt "
                      : trusted.clock == TrustedClock::timestamp_authority ? "genTime "
                                                                           : "timestamp ";
  const std::string stamped = label + format_date_time(trusted.time) + " " + clock_text(trusted);
  if (age > max_age_seconds || (age == max_age_seconds && trusted.time.nanos < now.nanos))
    return {
        "max-age", false,
        stamped + " is older than " + age_text(max_age_seconds) + " (" + age_text(age) + " ago)"};
  if (-age > kFutureSkewSeconds)
    return {"max-age", false, stamped + " is more than 5 minutes in the future"};
  return {"max-age", true, stamped + " is within " + age_text(max_age_seconds)};
}

CheckResult artifact_check(const GovernanceCertificate& certificate, const ArtifactQuery& query) {
  std::vector<std::string> found;
  for (const StageRecord& stage : certificate.stages)
    for (const auto& [name, hash] : stage.artifact_hashes)
      if (hash == query.hash)
        found.push_back("stage " + in_quotes(stage.stage_id) + " artifact " + in_quotes(name));
  std::string name = "artifact:" + query.path;
  if (found.empty())
    return {std::move(name), false,
            "sha256 " + query.hash.substr(0, 16) + "... is recorded in no stage"};
  return {std::move(name), true, "is " + joined(found)};
}

std::optional<std::int64_t> parse_duration_seconds(std::string_view text) {
  if (text.size() < 2) return std::nullopt;
  std::int64_t unit = 0;
  switch (text.back()) {
    case 's':
      unit = 1;
      break;
    case 'm':
      unit = 60;
      break;
    case 'h':
      unit = 3600;
      break;
    case 'd':
      unit = 86400;
      break;
    default:
      return std::nullopt;
  }
  const std::string_view digits = text.substr(0, text.size() - 1);
  std::int64_t count = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (error != std::errc() || end != digits.data() + digits.size() || count < 0 ||
      count > std::numeric_limits<std::int64_t>::max() / unit)
    return std::nullopt;
  return count * unit;
}

}  // namespace certwright
