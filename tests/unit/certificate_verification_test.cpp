#include "core/verify/certificate_verification.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/base/base64.h"
#include "core/evidence/stage_walk.h"
#include "core/record/certificate_encoding.h"
#include "core/seal/certificate_signature.h"
#include "core/seal/signing_key.h"
#include "tests/unit/temp_dir_test_fixture.h"

namespace certwright {
namespace {

SigningKey key_from(std::string_view seed_text) {
  auto seed = parse_seed(seed_text);
  EXPECT_TRUE(seed);
  auto key = SigningKey::from_seed(*seed);
  EXPECT_TRUE(key);
  return std::move(*key);
}

const SigningKey& operator_key() {
  static const SigningKey key = key_from("nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=");
  return key;
}

PublicKeyBytes public_bytes(const SigningKey& key) {
  return key.public_key();
}

class CertificateVerification : public TempDirTest {
 protected:
  // A sealed certificate recording the run directory's stages as the emitter's walk sees them.
  std::string sealed_file(std::vector<std::string> stage_ids,
                          const SigningKey& key = operator_key()) const {
    GovernanceCertificate certificate;
    certificate.certificate_version = std::string(kCurrentCertificateVersion);
    certificate.pipeline_run_id = "run";
    certificate.stages = collect_stages(dir_, stage_ids).value();
    certificate.signer = SignerIdentity{"alice", "idp", std::nullopt};
    certificate.signing_public_key = encode_public_key(key);
    certificate.signing_attestation = {AttestationKind::operator_, "source=ZEM_SIGNING_KEY"};
    seal_certificate(certificate, key);
    return encode_pretty(certificate);
  }

  static VerificationReport verify(const std::string& file, const VerificationPolicy& policy,
                                   const DriftInputs& inputs = {}) {
    const simdjson::padded_string padded(file);
    return verify_certificate(padded, policy, inputs);
  }

  static std::vector<std::string> failed(const VerificationReport& report) {
    std::vector<std::string> names;
    for (const CheckResult& check : report.checks)
      if (!check.ok) names.push_back(check.name);
    return names;
  }

  static VerificationPolicy trusting(const SigningKey& key) {
    return VerificationPolicy{.trusted_keys = {public_bytes(key)}, .require_operator_key = true};
  }
};

TEST_F(CertificateVerification, PolicyChecksNameWhatFailed) {
  write("s0/a", "a");
  const std::string file = sealed_file({"s0"});
  const SigningKey other = key_from("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=");
  struct Case {
    VerificationPolicy policy;
    std::vector<std::string> failed;
  };
  const std::vector<Case> cases = {
      {trusting(operator_key()), {}},
      {trusting(other), {"trusted-key"}},
      {{.integrity_only = true}, {}},
      {{.integrity_only = true, .signer_subject = "Alice"}, {"signer"}},
      {{.integrity_only = true, .signer_identity_provider = "idp"}, {}},
      {{.integrity_only = true, .require_corpus_binding = true, .require_posture_binding = true},
       {"corpus-binding", "posture-binding"}},
  };
  for (const Case& c : cases) {
    const VerificationReport report = verify(file, c.policy);
    EXPECT_EQ(failed(report), c.failed);
    EXPECT_EQ(report.verified(), c.failed.empty());
    EXPECT_TRUE(report.canonical);
  }
  EXPECT_EQ(verify(file, {.integrity_only = true}).notes.size(), 1u);  // nothing is trusted
}

// A bundle's tokens that verified give the trusted time, the earliest of them; a token that
// failed, one outside the certificate's timestamp and now, or fewer than required fail
// "timestamp".
TEST_F(CertificateVerification, TimestampTokensGiveTheTrustedTime) {
  write("s0/a", "a");
  const std::string file = sealed_file({"s0"});  // its own timestamp is 1970-01-01T00:00:00Z
  const TimestampVerdict early{true, "CN=A", UtcTime{1000, 0}, ""};
  const TimestampVerdict late{true, "CN=B", UtcTime{1500, 0}, ""};
  const TimestampVerdict broken{false, "", UtcTime{}, "the token does not verify"};
  const TimestampVerdict future{true, "CN=C", UtcTime{2000 + kClockSkewSeconds + 1, 0}, ""};
  struct Case {
    std::optional<TimestampEvidence> evidence;
    std::size_t required;
    std::vector<std::string> failed;
    TrustedClock clock;
    std::int64_t time;
  };
  const std::vector<Case> cases = {
      {std::nullopt, 0, {}, TrustedClock::signer, 0},
      {std::nullopt, 1, {"timestamp"}, TrustedClock::signer, 0},
      {TimestampEvidence{{late, early}, true}, 2, {}, TrustedClock::timestamp_authority, 1000},
      {TimestampEvidence{{late, early}, true},
       3,
       {"timestamp"},
       TrustedClock::timestamp_authority,
       1000},
      {TimestampEvidence{{late, broken}, true},
       0,
       {"timestamp"},
       TrustedClock::timestamp_authority,
       1500},
      {TimestampEvidence{{future}, true}, 0, {"timestamp"}, TrustedClock::signer, 0},
      {TimestampEvidence{{}, true}, 1, {"timestamp"}, TrustedClock::signer, 0},
      {TimestampEvidence{{early}, false}, 0, {}, TrustedClock::signer, 0},
      {TimestampEvidence{{early}, false}, 1, {"timestamp"}, TrustedClock::signer, 0},
  };
  for (const Case& c : cases) {
    VerificationPolicy policy = trusting(operator_key());
    policy.now = UtcTime{2000, 0};
    policy.required_timestamps = c.required;
    const simdjson::padded_string padded(file);
    const VerificationReport report = verify_certificate(padded, policy, {}, c.evidence);
    EXPECT_EQ(failed(report), c.failed) << c.required;
    EXPECT_EQ(report.trusted_time->clock, c.clock) << c.required;
    EXPECT_EQ(report.trusted_time->time.unix_seconds, c.time) << c.required;
  }
}

TEST_F(CertificateVerification, IntegrityFailuresStopBeforeTheRunDirectory) {
  write("s0/a", "a");
  const std::string file = sealed_file({"s0"});
  write("s0/a", "changed");
  const DriftInputs inputs{.run_dir = dir_};
  struct Case {
    std::string file;
    std::vector<std::string> failed;
  };
  std::string bad_hash = file;
  bad_hash.replace(bad_hash.find("\"certificateHash\": \"") + 20, 1, "0");
  std::string bad_signature = file;
  bad_signature.replace(bad_signature.find("\"certSignature\": \"") + 18, 1, "_");
  const std::vector<Case> cases = {
      {"{", {"well-formed"}},
      {bad_hash, {"hash", "signature"}},  // the signature covers the hash
      {bad_signature, {"signature"}}};
  for (const Case& c : cases) {
    const VerificationReport report = verify(c.file, {.integrity_only = true}, inputs);
    EXPECT_EQ(failed(report), c.failed);
    EXPECT_TRUE(report.stages.empty());
  }
  EXPECT_EQ(failed(verify(file, {.integrity_only = true}, inputs)),
            std::vector<std::string>{"drift-stages"});
}

TEST_F(CertificateVerification, DriftNamesEveryArtifactThatChanged) {
  write("s0/same", "1");
  write("s0/changed", "2");
  write("s0/removed", "3");
  write("s1/gone", "4");
  write("s5-ui-specification/build-spec.yaml", "x: 1\n");
  const std::string file = sealed_file({"s0", "s1", "s2", "s5-ui-specification"});
  write("s0/changed", "two");
  write("s0/added", "5");
  std::filesystem::remove(dir_ + "/s0/removed");
  std::filesystem::remove_all(dir_ + "/s1");
  write("s5-ui-specification/build-spec.yaml", "x: 2\n");

  const std::string attestation = write("attestation.json", "{}");
  const VerificationReport report =
      verify(file, {.integrity_only = true}, {.run_dir = dir_, .corpus_attestation = attestation});
  EXPECT_EQ(failed(report),
            (std::vector<std::string>{"corpus-binding", "drift-stages", "drift-build-spec"}));
  const StageDrift& s0 = report.stages.at("s0");
  EXPECT_EQ(s0.added, std::vector<std::string>{"added"});
  EXPECT_EQ(s0.removed, std::vector<std::string>{"removed"});
  EXPECT_EQ(s0.changed, std::vector<std::string>{"changed"});
  EXPECT_TRUE(report.stages.at("s1").missing);
  EXPECT_EQ(report.stages.at("s1").removed, std::vector<std::string>{"gone"});
  // Certified without artifacts and still missing: nothing drifted.
  EXPECT_TRUE(report.stages.at("s2").missing);
  EXPECT_FALSE(report.stages.at("s2").drifted());
  EXPECT_NE(report.inputs.at("buildSpec").certified, report.inputs.at("buildSpec").found);
}

TEST_F(CertificateVerification, NothingIsReadUntilTheSealIsTrusted) {
  write("s0/a", "a");
  const std::string file = sealed_file({"s0"});
  write("s0/a", "changed");
  const SigningKey other = key_from("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=");
  const DriftInputs inputs{.run_dir = dir_, .business_docs = {dir_ + "/missing.md"}};
  const VerificationReport untrusted = verify(file, trusting(other), inputs);
  EXPECT_EQ(failed(untrusted), std::vector<std::string>{"trusted-key"});
  EXPECT_TRUE(untrusted.stages.empty());
  EXPECT_TRUE(untrusted.inputs.empty());
  EXPECT_EQ(failed(verify(file, trusting(operator_key()), inputs)),
            (std::vector<std::string>{"drift-stages", "drift-requirements"}));
}

TEST_F(CertificateVerification, UnreadableInputsFailTheirDriftCheck) {
  write("s0/a", "a");
  const std::string file = sealed_file({"s0"});  // no build spec: certified as ""
  const std::string spec = dir_ + "/s5-ui-specification/build-spec.yaml";
  std::filesystem::create_directories(dir_ + "/s5-ui-specification");
  struct Case {
    std::string name;
    std::function<void()> make;
  };
  const std::vector<Case> cases = {
      {"dangling link", [&] { std::filesystem::create_symlink(dir_ + "/nowhere", spec); }},
      {"directory", [&] { std::filesystem::create_directory(spec); }},
      {"fifo", [&] { ASSERT_EQ(::mkfifo(spec.c_str(), 0644), 0); }},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(spec);
    c.make();
    const VerificationReport report = verify(file, trusting(operator_key()), {.run_dir = dir_});
    EXPECT_EQ(failed(report), std::vector<std::string>{"drift-build-spec"}) << c.name;
  }
  std::filesystem::remove_all(spec);
  EXPECT_TRUE(verify(file, trusting(operator_key()), {.run_dir = dir_}).verified());
}

TEST_F(CertificateVerification, EachStageDirectoryIsWalkedOnce) {
  write("s0/a", "a");
  std::filesystem::create_symlink("a", dir_ + "/s0/link");  // warned about on every walk
  const std::string file = sealed_file({"s0", "s0/", "./s0", "s0//"});
  testing::internal::CaptureStderr();
  const VerificationReport report = verify(file, trusting(operator_key()), {.run_dir = dir_});
  const std::string warnings = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(report.verified());
  EXPECT_EQ(std::ranges::count(warnings, '\n'), 1) << warnings;
}

TEST_F(CertificateVerification, CollidingNamesFailTheStage) {
  write("s0/a\xff", "1");
  const std::string file = sealed_file({"s0"});
  write("s0/a\xfe", "2");  // beside the certified file, with the same text as its name
  const VerificationReport report = verify(file, trusting(operator_key()), {.run_dir = dir_});
  EXPECT_EQ(failed(report), std::vector<std::string>{"drift-stages"});
  const auto stages = std::ranges::find(report.checks, "drift-stages", &CheckResult::name);
  ASSERT_NE(stages, report.checks.end());
  EXPECT_NE(stages->detail.find("cannot tell apart"), std::string::npos) << stages->detail;
}

TEST_F(CertificateVerification, LinkedStageDirectoriesAreNeverRead) {
  write("outside/secret", "1234");
  write("run/s0/a", "a");
  std::filesystem::create_directory_symlink(dir_ + "/outside", dir_ + "/run/linked");
  std::filesystem::create_directory_symlink(dir_ + "/run", dir_ + "/run/self");
  const std::string run = dir_ + "/run";
  const std::string file = [&] {
    GovernanceCertificate certificate;
    certificate.certificate_version = std::string(kCurrentCertificateVersion);
    certificate.pipeline_run_id = "run";
    certificate.stages = collect_stages(run, {"s0", "linked", "self/s0"}).value();
    certificate.signing_public_key = encode_public_key(operator_key());
    certificate.signing_attestation = {AttestationKind::operator_, "source=ZEM_SIGNING_KEY"};
    seal_certificate(certificate, operator_key());
    return encode_pretty(certificate);
  }();
  const VerificationReport report = verify(file, trusting(operator_key()), {.run_dir = run});
  EXPECT_TRUE(report.verified());
  EXPECT_TRUE(report.stages.at("linked").missing);
  EXPECT_TRUE(report.stages.at("self/s0").missing);
  EXPECT_TRUE(report.stages.at("linked").added.empty());
}

// Under the identity point, R = identity and S = 0 verify for any message without a private key.
TEST_F(CertificateVerification, SmallOrderSigningKeysFailTheSignature) {
  GovernanceCertificate certificate;
  certificate.certificate_version = std::string(kCurrentCertificateVersion);
  certificate.pipeline_run_id = "forged";
  std::array<unsigned char, 32> identity{1};
  certificate.signing_public_key = base64_encode(identity);
  certificate.signing_attestation = {AttestationKind::operator_, "source=ZEM_SIGNING_KEY"};
  certificate.certificate_hash = compute_certificate_hash(certificate);
  std::array<unsigned char, 64> forged{1};
  certificate.cert_signature = base64_encode(forged);
  const VerificationReport report = verify(encode_pretty(certificate), {.integrity_only = true});
  EXPECT_EQ(failed(report), std::vector<std::string>{"signature"});
  EXPECT_NE(report.checks[2].detail.find("small order"), std::string::npos)
      << report.checks[2].detail;
}

TEST(StageIds, OnlyIdsInsideTheRunDirectoryAreSafe) {
  for (const std::string_view safe : {"s0", "a/b", ".", "..a", "a..", "a/.../b"})
    EXPECT_TRUE(is_safe_stage_id(safe)) << safe;
  for (const std::string_view unsafe : std::initializer_list<std::string_view>{
           "", "/etc", "..", "../x", "a/..", "a/../b", "a/../../x", std::string_view("a\0b", 3)})
    EXPECT_FALSE(is_safe_stage_id(unsafe)) << unsafe;
}

}  // namespace
}  // namespace certwright
