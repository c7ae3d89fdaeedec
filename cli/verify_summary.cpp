#include "cli/verify_summary.h"

#include <unistd.h>

#include <algorithm>

#include "cli/error_line.h"
#include "core/base/content_hash.h"
#include "core/base/file_read.h"
#include "core/base/text.h"
#include "core/base/warning.h"
#include "core/formats/certificate_envelope.h"
#include "core/verify/release_policy.h"

namespace certwright {
namespace {

std::string base_name(const std::string& path) {
  std::string_view name = path;
  while (name.size() > 1 && name.ends_with('/'))
    name.remove_suffix(1);
  const auto slash = name.rfind('/');
  return lossy_utf8(slash == std::string_view::npos ? name : name.substr(slash + 1));
}

// The run the summary is about: the run id the gate demanded, else the first certificate's.
std::string run_id_of(const VerifyArgs& args, const RunVerdict& verdict) {
  if (args.pipeline_run_id) return *args.pipeline_run_id;
  for (const NamedReport& named : verdict.reports)
    if (named.report.certificate) return named.report.certificate->pipeline_run_id;
  return "unknown";
}

// The summary's checks of --vsa-check, in order.
std::vector<CheckResult> summary_checks(const VerifyArgs& args, const SummaryStatement& summary,
                                        const std::string& subject_sha256,
                                        const std::optional<std::string>& policy_sha256) {
  std::vector<CheckResult> checks;
  checks.push_back({"signature", true, "signed by the given key"});
  const bool about_subject = std::ranges::any_of(
      summary.subjects, [&](const DigestedName& item) { return item.sha256 == subject_sha256; });
  checks.push_back({"subject", about_subject,
                    "sha256 " + subject_sha256.substr(0, 16) +
                        (about_subject ? "... is a subject" : "... is no subject of the summary")});
  checks.push_back({"result", summary.passed,
                    summary.passed
                        ? "PASSED, " + std::string(kGovernedLevel)
                        : std::string("not PASSED with ") + std::string(kGovernedLevel)});
  if (args.verifier_id)
    checks.push_back({"verifier-id", summary.verifier_id == *args.verifier_id,
                      "verifier.id is \"" + summary.verifier_id + "\""});
  if (policy_sha256)
    checks.push_back(
        {"policy", summary.policy_sha256 == *policy_sha256,
         "policy digest " + summary.policy_sha256.substr(0, 16) +
             (summary.policy_sha256 == *policy_sha256 ? "... is the policy file's"
                                                      : "... is not the policy file's")});
  if (args.max_age) {
    const UtcTime now = args.at ? *parse_time_text(*args.at) : utc_now();
    CheckResult age = max_age_check({summary.time_verified, TrustedClock::signer},
                                    *parse_duration_seconds(*args.max_age), now);
    checks.push_back({"max-age", age.ok,
                      "timeVerified " + format_date_time(summary.time_verified) +
                          (age.ok ? " is recent enough" : " is too old or ahead")});
  }
  return checks;
}

}  // namespace

std::expected<SigningKey, Error> read_summary_key(const std::string& path) {
  auto seed = read_seed_file(path);
  if (!seed) return std::unexpected(Error{"--vsa-key-file " + seed.error().message});
  auto key = SigningKey::from_seed(*seed);
  if (!key) return std::unexpected(Error{"--vsa-key-file: " + key.error()});
  return std::move(*key);
}

OutputFile summary_output(const VerifyArgs& args, const RunVerdict& verdict,
                          const VerificationPolicy& policy,
                          const std::vector<DigestedName>& certificates,
                          const std::optional<DigestedName>& attestation, const SigningKey& key) {
  SummaryStatement summary{
      .verifier_id = *args.verifier_id,
      // When the decision was made, by this machine's clock (--at moves what was judged, not this).
      .time_verified = utc_now(),
      .resource_uri =
          args.resource_uri ? *args.resource_uri : run_resource_uri(run_id_of(args, verdict)),
      .policy_uri = verdict.policy.path ? lossy_utf8(*verdict.policy.path) : "effective",
      .policy_sha256 = verdict.policy.sha256,
      .subjects = {},
      .input_attestations = certificates,
      .passed = false,
  };
  // With no key trusted (--integrity-only) nothing was governed, whatever the checks say.
  summary.passed =
      verdict.verified() && std::ranges::none_of(verdict.reports, [](const auto& named) {
        return named.report.integrity_only;
      });
  if (attestation) summary.input_attestations.push_back(*attestation);
  for (const ArtifactQuery& artifact : policy.artifacts)
    summary.subjects.push_back({base_name(artifact.path), artifact.hash});
  if (policy.artifacts.empty())
    for (const DigestedName& certificate : certificates)
      summary.subjects.push_back({base_name(certificate.name), certificate.sha256});
  return {"--vsa", *args.vsa, sign_summary_bundle(summary, key)};
}

int run_vsa_check(const VerifyArgs& args) {
  const auto key = parse_public_key(*args.vsa_key);  // checked as the command line was read
  const auto text = read_whole_file(*args.vsa_check, kMaxAttestationBytes);
  if (!text)
    return refuse("--vsa-check " + lossy_utf8(*args.vsa_check) + ": " + text.error().message());
  const auto subject = hash_file(*args.subject);
  if (!subject)
    return refuse("--subject " + lossy_utf8(*args.subject) + ": " + subject.error().message());
  std::optional<std::string> policy_sha256;
  if (args.policy) {
    const auto policy = read_whole_file(*args.policy, std::size_t{1} << 20);
    if (!policy)
      return refuse("--policy " + lossy_utf8(*args.policy) + ": " + policy.error().message());
    policy_sha256 = hash_bytes(*policy);
  }
  const std::string shown = single_line(*args.vsa_check);
  const auto summary = read_summary_bundle(*text, *key);
  if (!summary) {
    if (!args.quiet)
      write_fully(STDOUT_FILENO, "FAIL signature: " + single_line(summary.error().message) +
                                     "\nsummary not accepted: " + shown + "\n");
    return 1;
  }
  const auto checks = summary_checks(args, *summary, *subject, policy_sha256);
  std::string out;
  for (const CheckResult& check : checks)
    out.append(check.ok ? "ok   " : "FAIL ")
        .append(check.name)
        .append(": ")
        .append(single_line(check.detail))
        .append("\n");
  const auto failed = std::ranges::count(checks, false, &CheckResult::ok);
  out.append(failed == 0 ? "summary accepted: " + shown + " passed " + single_line(*args.subject)
                         : "summary not accepted: " + shown + " (" + std::to_string(failed) +
                               (failed == 1 ? " check failed)" : " checks failed)"));
  if (!args.quiet) write_fully(STDOUT_FILENO, out + "\n");
  return failed == 0 ? 0 : 1;
}

}  // namespace certwright
