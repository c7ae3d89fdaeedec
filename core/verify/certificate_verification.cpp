#include "core/verify/certificate_verification.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <set>
#include <span>

#include "core/base/base64.h"
#include "core/base/openssl_handles.h"
#include "core/base/text.h"
#include "core/evidence/build_spec.h"
#include "core/evidence/corpus_binding.h"
#include "core/evidence/requirements_hash.h"
#include "core/evidence/sbom_binding.h"
#include "core/evidence/stage_walk.h"
#include "core/record/certificate_encoding.h"
#include "core/record/certificate_reader.h"
#include "core/seal/ed25519_point.h"
#include "core/verify/release_policy.h"

namespace certwright {
namespace {

constexpr std::string_view kDriftNotChecked =
    "drift not checked: the certificate is not intact and sealed by a trusted key";

struct PublicKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PublicKey = std::unique_ptr<EVP_PKEY, PublicKeyFree>;

std::string short_text(std::string_view text) {
  return std::string(text.substr(0, 16)) + (text.size() > 16 ? "..." : "");
}

CheckResult hash_check(const GovernanceCertificate& certificate) {
  const std::string recomputed = compute_certificate_hash(certificate);
  if (recomputed == certificate.certificate_hash)
    return {"hash", true, "certificateHash matches the re-encoded hash view"};
  return {"hash", false,
          "certificateHash " + short_text(certificate.certificate_hash) +
              " differs from the re-encoded hash view's " + short_text(recomputed)};
}

CheckResult signature_check(const GovernanceCertificate& certificate) {
  const auto public_key = decode_exact<32>("signingPublicKey", certificate.signing_public_key);
  if (!public_key) return {"signature", false, public_key.error()};
  if (const auto weak = weak_public_key_reason(*public_key))
    return {"signature", false, "signingPublicKey is " + *weak};
  const auto signature = decode_exact<64>("certSignature", certificate.cert_signature);
  if (!signature) return {"signature", false, signature.error()};
  std::string view = encode_compact(certificate, CertificateView::signing);
  const bool verifies = ed25519_verifies(*public_key, view, *signature);
  recycle_encoding(std::move(view));
  if (!verifies)
    return {"signature", false, "certSignature does not verify under signingPublicKey"};
  return {"signature", true, "Ed25519 signature by signingPublicKey over the signing view"};
}

// Why a revoked signing key does not seal this certificate, or none when the revocation does
// not count: one dated after `now` (the time judged at), or one dated after the certificate's
// trusted time when the platform's or a timestamp authority's clock gave that time. The signer's
// own clock never lifts a revocation: whoever holds a leaked key can back-date.
std::optional<std::string> revocation_refusal(const PublicKeyBytes& key, const TrustedTime& trusted,
                                              const VerificationPolicy& policy,
                                              std::string& lifted) {
  const auto revocation = find_revocation(policy.revoked_keys, key);
  if (!revocation) return std::nullopt;
  const std::string reason = revocation->reason.empty() ? "" : " (" + revocation->reason + ")";
  if (!revocation->revoked_at) return "is revoked" + reason;
  const std::string at = format_date_time(*revocation->revoked_at);
  if (is_before(policy.now, *revocation->revoked_at)) return std::nullopt;
  if (trusted.clock != TrustedClock::signer && is_before(trusted.time, *revocation->revoked_at)) {
    lifted = ", signed before its revocation at " + at + " " + clock_text(trusted);
    return std::nullopt;
  }
  if (trusted.clock == TrustedClock::platform)
    return "was revoked at " + at + reason + ", and the platform countersigned it at " +
           format_date_time(trusted.time);
  if (trusted.clock == TrustedClock::timestamp_authority)
    return "was revoked at " + at + reason + ", and timestamp authority \"" + trusted.authority +
           "\" dated it at " + format_date_time(trusted.time);
  return "was revoked at " + at + reason + ", and only the signer's clock says when it signed";
}

CheckResult trusted_key_check(const GovernanceCertificate& certificate,
                              const VerificationPolicy& policy, const TrustedTime& trusted) {
  const auto public_key = decode_exact<32>("signingPublicKey", certificate.signing_public_key);
  if (!public_key) return {"trusted-key", false, public_key.error()};
  const std::string shown = "signingPublicKey " + key_fingerprint(*public_key);
  std::string lifted;
  if (const auto refusal = revocation_refusal(*public_key, trusted, policy, lifted))
    return {"trusted-key", false, shown + " " + *refusal};
  if (std::ranges::find(policy.trusted_keys, *public_key) != policy.trusted_keys.end())
    return {"trusted-key", true, shown + " is a trusted key" + lifted};
  const auto allowed = [&](const AllowedSigner& line) {
    return line.key == *public_key && allows(line, certificate.signer);
  };
  const auto in_window = [&](const AllowedSigner& line) {
    return allowed(line) && line.window.contains(trusted.time);
  };
  if (std::ranges::any_of(policy.allowed_signers, in_window))
    return {"trusted-key", true, shown + " is allowed for this signer" + lifted};
  if (const auto line = std::ranges::find_if(policy.allowed_signers, allowed);
      line != policy.allowed_signers.end())
    return {"trusted-key", false,
            shown + " is allowed for this signer " + line->window.describe() + ", and the " +
                "certificate was signed at " + format_date_time(trusted.time) + " " +
                clock_text(trusted)};
  const bool known = std::ranges::any_of(
      policy.allowed_signers, [&](const AllowedSigner& line) { return line.key == *public_key; });
  if (known) {
    const std::string signer = certificate.signer ? "subject \"" + certificate.signer->subject +
                                                        "\", identityProvider \"" +
                                                        certificate.signer->identity_provider + "\""
                                                  : "no signer (a plain certificate)";
    return {"trusted-key", false, shown + " is not allowed to sign for " + signer};
  }
  return {"trusted-key", false,
          shown + " is not among the " +
              std::to_string(policy.trusted_keys.size() + policy.allowed_signers.size()) +
              " trusted keys"};
}

CheckResult operator_key_check(const GovernanceCertificate& certificate) {
  const AttestationKind kind = certificate.signing_attestation.kind;
  if (kind == AttestationKind::operator_)
    return {"operator-key", true, "signingAttestation.kind is operator"};
  return {"operator-key", false,
          std::string("signingAttestation.kind is ") + to_text(kind) + ", not operator"};
}

// Signer texts compare exactly: no case folding, no trimming.
CheckResult signer_check(const GovernanceCertificate& certificate,
                         const VerificationPolicy& policy) {
  if (!certificate.signer) return {"signer", false, "the certificate names no signer"};
  const SignerIdentity& signer = *certificate.signer;
  if (policy.signer_subject && signer.subject != *policy.signer_subject)
    return {"signer", false,
            "subject is \"" + signer.subject + "\", expected \"" + *policy.signer_subject + "\""};
  if (policy.signer_identity_provider &&
      signer.identity_provider != *policy.signer_identity_provider)
    return {"signer", false,
            "identityProvider is \"" + signer.identity_provider + "\", expected \"" +
                *policy.signer_identity_provider + "\""};
  return {
      "signer", true,
      "subject \"" + signer.subject + "\", identityProvider \"" + signer.identity_provider + "\""};
}

CheckResult presence_check(std::string name, bool present, bool recomputed) {
  if (present) return {std::move(name), true, "present"};
  return {std::move(name), false,
          recomputed ? "absent, so the recomputed binding has nothing to match"
                     : "absent, but required"};
}

// "countersign", when the caller trusts platform keys or demands a countersignature; the note
// that one is present but not authenticated otherwise. The certificate's trusted time follows.
void add_countersign_check(VerificationReport& report, const GovernanceCertificate& certificate,
                           const VerificationPolicy& policy) {
  report.trusted_time = TrustedTime{certificate.timestamp, TrustedClock::signer};
  const bool judged = !policy.platform_keys.empty() || policy.require_countersign;
  if (!certificate.platform_countersign) {
    if (policy.require_countersign)
      report.checks.push_back(
          {"countersign", false, "the certificate carries no platformCountersign"});
    return;
  }
  if (!judged) {
    report.notes.push_back("platformCountersign is shape-checked only, not authenticated");
    return;
  }
  CountersignVerdict verdict =
      check_countersign(certificate, policy.platform_keys, policy.revoked_keys, policy.now);
  report.checks.push_back({"countersign", verdict.ok, std::move(verdict.detail)});
  if (!verdict.facts) return;
  report.trusted_time = TrustedTime{verdict.facts->countersigned_at, TrustedClock::platform};
  report.countersign = std::move(verdict.facts);
}

// A token dated before the certificate's own timestamp or after now contradicts the clocks the
// other judgements rest on.
TimestampVerdict bounded(TimestampVerdict verdict, const GovernanceCertificate& certificate,
                         UtcTime now) {
  if (!verdict.ok) return verdict;
  const UtcTime earliest{certificate.timestamp.unix_seconds - kClockSkewSeconds, 0};
  const UtcTime latest{now.unix_seconds + kClockSkewSeconds, now.nanos};
  if (is_before(verdict.time, earliest))
    return {false, verdict.authority, verdict.time,
            "dated " + format_date_time(verdict.time) +
                ", before the certificate's own timestamp " +
                format_date_time(certificate.timestamp)};
  if (is_before(latest, verdict.time))
    return {false, verdict.authority, verdict.time,
            "dated " + format_date_time(verdict.time) + ", in the future"};
  return verdict;
}

std::string timestamp_detail(const std::vector<TimestampVerdict>& tokens, std::size_t verified,
                             std::size_t required) {
  std::string detail = std::to_string(verified) + " of " + std::to_string(tokens.size()) +
                       (tokens.size() == 1 ? " token" : " tokens") + " verified";
  if (verified < required) detail += ", " + std::to_string(required) + " required";
  for (std::size_t at = 0; at < tokens.size(); ++at) {
    const TimestampVerdict& token = tokens[at];
    detail += "; token " + std::to_string(at + 1) + ": ";
    detail += token.ok ? "authority \"" + token.authority + "\" at " +
                             format_date_time(token.time) + ", verified"
                       : "failed: " + token.detail;
  }
  return detail;
}

// "timestamp", when timestamp authorities are trusted or tokens required, and the trusted time
// of the earliest token that verified when it is earlier than the countersignature's (or there
// is none). Every token must verify; --require-timestamp sets how many there must be.
void add_timestamp_check(VerificationReport& report, const GovernanceCertificate& certificate,
                         const VerificationPolicy& policy,
                         const std::optional<TimestampEvidence>& evidence) {
  const std::size_t required = policy.required_timestamps;
  if (!evidence) {
    if (required > 0)
      report.checks.push_back({"timestamp", false,
                               "a certificate alone carries no timestamp token; verify its "
                               "bundle (--attestation)"});
    return;
  }
  if (!evidence->checked) {
    if (required > 0)
      report.checks.push_back(
          {"timestamp", false, "tokens not checked: no timestamp authority is trusted"});
    else if (!evidence->tokens.empty())
      report.notes.push_back(std::to_string(evidence->tokens.size()) +
                             " RFC 3161 timestamp token(s) present, not checked (no --tsa-certs)");
    return;
  }
  if (evidence->tokens.empty()) {
    if (required > 0)
      report.checks.push_back({"timestamp", false, "the bundle carries no timestamp token"});
    else
      report.notes.emplace_back("the bundle carries no timestamp token");
    return;
  }
  std::vector<TimestampVerdict> tokens;
  for (const TimestampVerdict& token : evidence->tokens)
    tokens.push_back(bounded(token, certificate, policy.now));
  const auto verified =
      static_cast<std::size_t>(std::ranges::count(tokens, true, &TimestampVerdict::ok));
  const bool ok = verified == tokens.size() && verified >= required;
  report.checks.push_back({"timestamp", ok, timestamp_detail(tokens, verified, required)});
  for (const TimestampVerdict& token : tokens)
    if (token.ok && (report.trusted_time->clock == TrustedClock::signer ||
                     is_before(token.time, report.trusted_time->time)))
      report.trusted_time =
          TrustedTime{token.time, TrustedClock::timestamp_authority, token.authority};
  report.timestamps = std::move(tokens);
}

void add_policy_checks(VerificationReport& report, const GovernanceCertificate& certificate,
                       const VerificationPolicy& policy, const DriftInputs& inputs) {
  if (!policy.integrity_only)
    report.checks.push_back(trusted_key_check(certificate, policy, *report.trusted_time));
  if (policy.require_operator_key) report.checks.push_back(operator_key_check(certificate));
  if (policy.signer_subject || policy.signer_identity_provider)
    report.checks.push_back(signer_check(certificate, policy));
  if (!policy.required_stages.empty() || policy.forbid_skipped || policy.forbid_other_stages)
    report.checks.push_back(stage_policy_check(certificate, policy));
  if (policy.pipeline_run_id)
    report.checks.push_back(pipeline_run_id_check(certificate, *policy.pipeline_run_id));
  if (policy.signer_session_id)
    report.checks.push_back(signer_session_check(certificate, *policy.signer_session_id));
  if (policy.max_age_seconds)
    report.checks.push_back(
        max_age_check(*report.trusted_time, *policy.max_age_seconds, policy.now));
  for (const ArtifactQuery& query : policy.artifacts)
    report.checks.push_back(artifact_check(certificate, query));
  if (policy.require_corpus_binding || inputs.corpus_attestation)
    report.checks.push_back(presence_check("corpus-binding", certificate.corpus_binding.has_value(),
                                           inputs.corpus_attestation.has_value()));
  if (policy.require_sbom_binding || inputs.sbom_dir)
    report.checks.push_back(presence_check("sbom-binding",
                                           certificate.sbom_artifact_binding.has_value(),
                                           inputs.sbom_dir.has_value()));
  if (policy.require_posture_binding)
    report.checks.push_back(
        presence_check("posture-binding", certificate.agentic_posture_binding.has_value(), false));
}

// Adds what changed between the certified artifact map and the one found now.
void compare_artifacts(const StringMap& certified, const StringMap& found, StageDrift& drift) {
  auto old_entry = certified.begin();
  auto new_entry = found.begin();
  while (old_entry != certified.end() || new_entry != found.end()) {
    if (new_entry == found.end() ||
        (old_entry != certified.end() && (*old_entry).first < (*new_entry).first)) {
      drift.removed.emplace_back((*old_entry++).first);
    } else if (old_entry == certified.end() || (*new_entry).first < (*old_entry).first) {
      drift.added.emplace_back((*new_entry++).first);
    } else {
      if ((*old_entry).second != (*new_entry).second)
        drift.changed.emplace_back((*old_entry).first);
      ++old_entry;
      ++new_entry;
    }
  }
}

std::string stage_summary(std::string_view stage_id, const StageDrift& drift) {
  std::string text = "stage \"" + std::string(stage_id) + "\"";
  if (drift.missing) text += " missing:";
  const auto count = [&](const std::vector<std::string>& names, std::string_view what) {
    if (names.empty()) return;
    text.append(" ").append(std::to_string(names.size())).append(" ").append(what);
  };
  count(drift.changed, "changed");
  count(drift.added, "added");
  count(drift.removed, "removed");
  return text;
}

// The stage id without empty and "." components: the same path, however spelled.
std::string plain_spelling(std::string_view stage_id) {
  std::string plain;
  for (std::size_t start = 0; start <= stage_id.size();) {
    const std::size_t end = std::min(stage_id.find('/', start), stage_id.size());
    const std::string_view component = stage_id.substr(start, end - start);
    if (!component.empty() && component != ".")
      plain.append(plain.empty() ? "" : "/").append(component);
    start = end + 1;
  }
  return plain;
}

// The run directory's stages as found now, each distinct directory walked once by the emitter's
// own walk however many records name it or however they spell it, so the cost of a comparison
// is bounded by the run directory, not by the certificate.
class StageWalks {
 public:
  explicit StageWalks(const std::string& run_dir)
      : run_dir_(run_dir), run_fd_(open_run_directory(run_dir)) {}

  struct Walked {
    StageWalk walk;
    StageCoverage coverage;
  };

  // The walk of `stage_id`'s directory and what it cannot cover; none when the directory cannot
  // be opened beneath the run directory (missing, or reached through a link: the stage walk
  // warns about that).
  const Walked* find(const std::string& stage_id) {
    if (!run_fd_) return nullptr;
    // Spellings of one path ("a", "a/", "./a") are not even opened again.
    const auto [known, fresh] = by_spelling_.try_emplace(plain_spelling(stage_id), nullptr);
    if (!fresh) return known->second;
    auto stage = open_stage(run_fd_->get(), stage_id);
    if (!stage) return nullptr;
    auto [walked, inserted] = walks_.try_emplace(stage->identity);
    if (inserted) {
      walked->second.walk = walk_stage(*stage, run_dir_, stage_id);
      walked->second.coverage = cover_stage(*stage, walked->second.walk);
    }
    known->second = &walked->second;
    return &walked->second;
  }

  int run_fd() const { return run_fd_ ? run_fd_->get() : -1; }

 private:
  std::string run_dir_;
  std::expected<UniqueFd, std::error_code> run_fd_;
  std::map<DirectoryIdentity, Walked> walks_;
  std::map<std::string, const Walked*> by_spelling_;  // none: the directory could not be opened
};

std::string coverage_summary(const VerificationReport& report) {
  std::size_t entries = 0;
  for (const auto& [stage_id, coverage] : report.coverage)
    entries += coverage.total();
  return std::to_string(entries) + " entries in stage directories and " +
         std::to_string(report.run_directory_coverage.total()) +
         " entries of the run directory that the certificate cannot cover";
}

void add_coverage(VerificationReport& report, const VerificationPolicy& policy,
                  const GovernanceCertificate& certificate, int run_fd) {
  std::set<std::string> stage_paths;
  for (const StageRecord& stage : certificate.stages)
    if (is_safe_stage_id(stage.stage_id)) stage_paths.insert(plain_spelling(stage.stage_id));
  // A run directory that could not be opened (run_fd -1) cannot be listed either, and says so.
  report.run_directory_coverage = cover_run_directory(run_fd, stage_paths);
  report.coverage_checked = true;
  bool uncovered = report.run_directory_coverage.total() > 0;
  for (const auto& [stage_id, coverage] : report.coverage)
    uncovered = uncovered || coverage.total() > 0;
  if (policy.require_full_coverage)
    report.checks.push_back(
        {"coverage", !uncovered,
         uncovered ? coverage_summary(report) : "every entry of the run directory is covered"});
  else if (uncovered)
    report.notes.push_back(coverage_summary(report) + " (--require-full-coverage fails on them)");
  report.notes.emplace_back(
      "coverage leaves out the run directory's entries whose names start with \".\"");
}

std::string joined_names(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names)
    text.append(text.empty() ? "\"" : ", \"").append(name).append("\"");
  return text;
}

// Every stage of the certificate compared with its directory now. A stage id that could lead
// out of the run directory is never walked; a stage whose names collide fails, since the
// certificate cannot tell those files apart.
CheckResult stage_drift_check(VerificationReport& report, const GovernanceCertificate& certificate,
                              StageWalks& walks) {
  std::vector<std::string> problems;
  for (const StageRecord& stage : certificate.stages) {
    if (!is_safe_stage_id(stage.stage_id)) {
      problems.push_back("stage id \"" + stage.stage_id + "\" is unsafe, not walked");
      continue;
    }
    StageDrift drift;
    const auto* walked = walks.find(stage.stage_id);
    const StageWalk* walk = walked ? &walked->walk : nullptr;
    drift.missing = walk == nullptr;
    if (walked) report.coverage.try_emplace(stage.stage_id, walked->coverage);
    compare_artifacts(stage.artifact_hashes, walk ? walk->record.artifact_hashes : StringMap(),
                      drift);
    if (drift.drifted()) problems.push_back(stage_summary(stage.stage_id, drift));
    if (walk && !walk->colliding_keys.empty())
      problems.push_back("stage \"" + stage.stage_id + "\": the certificate cannot tell apart " +
                         "the files whose names became " + joined_names(walk->colliding_keys));
    // A stage id listed twice is reported once, with the first record's comparison.
    report.stages.try_emplace(stage.stage_id, std::move(drift));
  }
  if (problems.empty())
    return {"drift-stages", true, std::to_string(certificate.stages.size()) + " stages unchanged"};
  std::string detail;
  for (const std::string& problem : problems)
    detail.append(detail.empty() ? "" : "; ").append(problem);
  return {"drift-stages", false, detail};
}

CheckResult input_check(VerificationReport& report, std::string name, std::string key,
                        std::string certified, std::string found) {
  const bool same = certified == found;
  std::string detail =
      same ? "unchanged"
           : "certified \"" + short_text(certified) + "\", found \"" + short_text(found) + "\"";
  report.inputs[std::move(key)] = InputDrift{std::move(certified), std::move(found)};
  return {std::move(name), same, std::move(detail)};
}

CheckResult build_spec_check(VerificationReport& report, const GovernanceCertificate& certificate,
                             const std::string& run_dir) {
  const auto found = rehash_build_spec(run_dir);
  if (!found)
    return {"drift-build-spec", false,
            "build spec " + build_spec_path(run_dir) + " unreadable: " + found.error().message()};
  return input_check(report, "drift-build-spec", "buildSpec", certificate.build_spec.hash,
                     found->value_or(""));
}

CheckResult requirements_check(VerificationReport& report, const GovernanceCertificate& certificate,
                               const std::vector<std::string>& business_docs) {
  auto found = hash_business_docs(business_docs);
  if (!found)
    return {"drift-requirements", false,
            "requirement document " + found.error().path +
                " unreadable: " + found.error().error.message()};
  return input_check(report, "drift-requirements", "requirements",
                     certificate.intent.requirements_hash, std::move(*found));
}

CheckResult corpus_check(VerificationReport& report, const CorpusBinding& certified,
                         const std::string& attestation) {
  const auto found = resolve_corpus_binding(attestation);
  if (!found)
    return {"drift-corpus", false,
            "--corpus-attestation " + attestation + " could not be read as a corpus attestation"};
  return input_check(report, "drift-corpus", "corpus", certified.corpus_attestation_hash,
                     found->corpus_attestation_hash);
}

CheckResult sbom_check(VerificationReport& report, const SbomArtifactBinding& certified,
                       const std::string& sbom_dir) {
  const auto found = resolve_sbom_binding(sbom_dir);
  if (!found)
    return {"drift-sbom", false,
            "--sbom-dir " + sbom_dir + ": the BOM or the audit file could not be read"};
  const auto joined = [](const SbomArtifactBinding& binding) {
    return binding.bom_hash + " " + binding.audit_hash;
  };
  return input_check(report, "drift-sbom", "sbom", joined(certified), joined(*found));
}

// Reads the inputs the caller named, now that the certificate is trusted. An input that exists
// but cannot be read fails its check with the read error, never passes as an empty hash.
void add_drift_checks(VerificationReport& report, const GovernanceCertificate& certificate,
                      const VerificationPolicy& policy, const DriftInputs& inputs) {
  if (inputs.run_dir) {
    StageWalks walks(*inputs.run_dir);
    report.checks.push_back(stage_drift_check(report, certificate, walks));
    add_coverage(report, policy, certificate, walks.run_fd());
    report.checks.push_back(build_spec_check(report, certificate, *inputs.run_dir));
  }
  if (!inputs.business_docs.empty())
    report.checks.push_back(requirements_check(report, certificate, inputs.business_docs));
  if (inputs.corpus_attestation && certificate.corpus_binding)
    report.checks.push_back(
        corpus_check(report, *certificate.corpus_binding, *inputs.corpus_attestation));
  if (inputs.sbom_dir && certificate.sbom_artifact_binding)
    report.checks.push_back(
        sbom_check(report, *certificate.sbom_artifact_binding, *inputs.sbom_dir));
}

bool wants_drift(const DriftInputs& inputs) {
  return inputs.run_dir || !inputs.business_docs.empty() || inputs.corpus_attestation ||
         inputs.sbom_dir;
}

// Whether the seal may be taken at its word: intact, signed, and by a trusted key unless the
// caller asked for integrity only.
bool seal_trusted(const VerificationReport& report, const VerificationPolicy& policy) {
  const auto passed = [&](std::string_view name) {
    return std::ranges::any_of(
        report.checks, [&](const CheckResult& check) { return check.name == name && check.ok; });
  };
  return passed("hash") && passed("signature") && (policy.integrity_only || passed("trusted-key"));
}

}  // namespace

const char* clock_text(TrustedClock clock) {
  switch (clock) {
    case TrustedClock::platform:
      return "by the platform's clock";
    case TrustedClock::timestamp_authority:
      return "by a timestamp authority's clock";
    case TrustedClock::signer:
      break;
  }
  return "by the signer's own clock";
}

std::string clock_text(const TrustedTime& trusted) {
  if (trusted.clock == TrustedClock::timestamp_authority)
    return "by timestamp authority \"" + trusted.authority + "\"'s clock";
  return clock_text(trusted.clock);
}

// The bytes of a Base64 seal member of exactly `Size` bytes, or the reason it is not one.
template <std::size_t Size>
std::expected<std::array<unsigned char, Size>, std::string> decode_exact(std::string_view name,
                                                                         std::string_view text) {
  std::vector<unsigned char> bytes(base64_decoded_size(text));
  const auto size = base64_decode(text, bytes);
  if (!size) return std::unexpected(std::string(name) + ": base64: " + size.error());
  if (*size != Size)
    return std::unexpected(std::string(name) + ": " + std::to_string(*size) + " bytes, not " +
                           std::to_string(Size));
  std::array<unsigned char, Size> exact{};
  std::copy_n(bytes.begin(), Size, exact.begin());
  return exact;
}

// RFC 8032 Ed25519 (plain, no context) verification of `signature` over `message`.
bool ed25519_verifies(const PublicKeyBytes& public_key, std::string_view message,
                      const std::array<unsigned char, 64>& signature) {
  const PublicKey key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
  const DigestContext context(EVP_MD_CTX_new());
  if (!key || !context) return false;
  if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

template std::expected<std::array<unsigned char, 32>, std::string> decode_exact<32>(
    std::string_view, std::string_view);
template std::expected<std::array<unsigned char, 64>, std::string> decode_exact<64>(
    std::string_view, std::string_view);

std::array<CheckResult, 2> seal_checks(const GovernanceCertificate& certificate) {
  return {hash_check(certificate), signature_check(certificate)};
}

bool VerificationReport::verified() const {
  return !checks.empty() && failed_count() == 0;
}

std::size_t VerificationReport::failed_count() const {
  return static_cast<std::size_t>(std::ranges::count(checks, false, &CheckResult::ok));
}

bool is_safe_stage_id(std::string_view stage_id) {
  if (stage_id.empty() || stage_id.front() == '/' || stage_id.find('\0') != std::string_view::npos)
    return false;
  for (std::size_t start = 0; start <= stage_id.size();) {
    const std::size_t end = std::min(stage_id.find('/', start), stage_id.size());
    if (stage_id.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

VerificationReport verify_certificate(simdjson::padded_string_view file,
                                      const VerificationPolicy& policy, const DriftInputs& inputs,
                                      const std::optional<TimestampEvidence>& timestamps) {
  VerificationReport report;
  report.integrity_only = policy.integrity_only;
  auto certificate = read_certificate(file);
  if (!certificate) {
    report.checks.push_back({"well-formed", false, certificate.error().message});
    if (wants_drift(inputs)) report.notes.emplace_back(kDriftNotChecked);
    return report;
  }
  report.checks.push_back({"well-formed", true,
                           "certificateVersion " + certificate->certificate_version + ", " +
                               std::to_string(certificate->stages.size()) + " stages"});
  report.canonical = encode_pretty(*certificate) == std::string_view(file);
  report.checks.push_back(hash_check(*certificate));
  report.checks.push_back(signature_check(*certificate));
  add_countersign_check(report, *certificate, policy);
  add_timestamp_check(report, *certificate, policy, timestamps);
  add_policy_checks(report, *certificate, policy, inputs);
  if (policy.integrity_only)
    report.notes.push_back(
        "nothing is trusted (--integrity-only): the certificate is intact and sealed by the key "
        "it carries, which proves nothing about who sealed it");
  if (seal_trusted(report, policy))
    add_drift_checks(report, *certificate, policy, inputs);
  else if (wants_drift(inputs))
    report.notes.emplace_back(kDriftNotChecked);
  report.certificate = std::move(*certificate);
  return report;
}

}  // namespace certwright
