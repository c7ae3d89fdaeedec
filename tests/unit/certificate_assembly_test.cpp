#include "core/seal/certificate_assembly.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/record/certificate_encoding.h"

namespace certwright {
namespace {

namespace fs = std::filesystem;

// RFC 8032 test 1's secret key.
constexpr const char* kSeed = "nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=";

class AssemblyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_dir_ = fs::temp_directory_path() / ("assembly_test." + std::to_string(::getpid()));
    fs::remove_all(run_dir_);
    fs::create_directories(run_dir_ / "s0-preflight");
    std::ofstream(run_dir_ / "s0-preflight" / "a.txt") << "a";
    fs::create_directories(run_dir_ / "custom");
    std::ofstream(run_dir_ / "custom" / "b.txt") << "b";
    ::setenv("ZEM_SIGNING_KEY", kSeed, 1);
  }
  void TearDown() override {
    ::unsetenv("ZEM_SIGNING_KEY");
    fs::remove_all(run_dir_);
  }

  AssemblyInputs inputs() const {
    AssemblyInputs in;
    in.run_dir = run_dir_.string();
    in.run = RunInputs{"r-1", "adapter", "b5", true};
    in.requirements_hash = "req";
    return in;
  }
  static std::vector<std::string> stage_ids(const GovernanceCertificate& certificate) {
    std::vector<std::string> ids;
    for (const auto& stage : certificate.stages)
      ids.push_back(stage.stage_id);
    return ids;
  }

  fs::path run_dir_;
};

TEST_F(AssemblyTest, PlainPathRecordsDefaultStagesAndSealsTheCertificate) {
  AssemblyInputs in = inputs();
  in.posture_binding = AgenticPostureBinding{"none", true, {}};
  const auto certificate = assemble_certificate(std::move(in));
  ASSERT_TRUE(certificate) << certificate.error().message;

  EXPECT_EQ(stage_ids(*certificate).size(), 6u);
  EXPECT_EQ(certificate->stages[0].status, CheckStatus::passed);
  EXPECT_EQ(certificate->stages[1].status, CheckStatus::skipped);
  EXPECT_EQ(certificate->status, CertificateStatus::complete);
  EXPECT_EQ(certificate->certificate_version, "1.5.0");
  EXPECT_EQ(certificate->pipeline_run_id, "r-1");
  EXPECT_EQ(certificate->intent.requirements_hash, "req");
  EXPECT_EQ(certificate->build_spec.hash, "b5");
  EXPECT_FALSE(certificate->signer || certificate->agentic_posture_binding);
  EXPECT_EQ(certificate->signing_attestation.kind, AttestationKind::operator_);
  EXPECT_EQ(certificate->signing_attestation.note, "source=ZEM_SIGNING_KEY");
  EXPECT_EQ(certificate->signing_public_key, "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
  EXPECT_EQ(compute_certificate_hash(*certificate), certificate->certificate_hash);
  EXPECT_EQ(certificate->cert_signature.size(), 88u);
}

TEST_F(AssemblyTest, TenantPathDiscoversStagesAndAppliesSignerAndBindings) {
  AssemblyInputs in = inputs();
  in.tenant_mode = true;
  in.signer = SignerIdentity{"alice", "idp", "s-1"};
  in.corpus_binding = CorpusBinding{"c", "1.0"};
  in.sbom_binding = SbomArtifactBinding{"b", "a", "2.7.9"};
  in.posture_binding = AgenticPostureBinding{"governed", false, {}};
  const auto certificate = assemble_certificate(std::move(in));
  ASSERT_TRUE(certificate) << certificate.error().message;

  EXPECT_EQ(stage_ids(*certificate), (std::vector<std::string>{"custom", "s0-preflight"}));
  ASSERT_TRUE(certificate->signer);
  EXPECT_EQ(certificate->signer->session_id, "s-1");
  EXPECT_TRUE(certificate->corpus_binding && certificate->sbom_artifact_binding &&
              certificate->agentic_posture_binding);
  EXPECT_EQ(compute_certificate_hash(*certificate), certificate->certificate_hash);
}

TEST_F(AssemblyTest, BindingsWithoutSignerAreDroppedWithWarnings) {
  AssemblyInputs in = inputs();
  in.stage_ids = "custom";
  in.corpus_binding = CorpusBinding{"c", "1.0"};
  in.sbom_binding = SbomArtifactBinding{"b", "a", "2.7.9"};
  ::testing::internal::CaptureStderr();
  const auto certificate = assemble_certificate(std::move(in));
  const std::string warnings = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(certificate);
  EXPECT_EQ(stage_ids(*certificate), std::vector<std::string>{"custom"});
  EXPECT_FALSE(certificate->corpus_binding || certificate->sbom_artifact_binding);
  EXPECT_EQ(warnings,
            "warning: a corpus attestation was supplied but no signer; corpus binding is applied "
            "only on the tenant (signer) build path (spec 220 FR-007). Emitting without corpus "
            "binding.\n"
            "warning: an SBOM directory was supplied but no signer; the SBOM binding is applied "
            "only on the tenant (signer) build path (spec 203 FR-003). Emitting without SBOM "
            "binding.\n");
}

TEST_F(AssemblyTest, SealingWithoutSignerIsRefused) {
  const auto sealed = seal_signed_certificate(UnsealedCertificate(inputs().run, "req"));
  ASSERT_FALSE(sealed);
  EXPECT_EQ(sealed.error().message,
            "tenant emission requires a signer (spec 168 FR-007); none provided");
}

TEST_F(AssemblyTest, KeyErrorDuringFinalisationStopsAssemblyOnEitherPath) {
  ::setenv("ZEM_SIGNING_KEY", "not base64!", 1);
  for (const bool tenant : {false, true}) {
    AssemblyInputs in = inputs();
    if (tenant) in.signer = SignerIdentity{"alice", "idp", std::nullopt};
    ::testing::internal::CaptureStderr();
    const auto certificate = assemble_certificate(std::move(in));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << tenant;
    ASSERT_FALSE(certificate) << tenant;
    EXPECT_EQ(certificate.error().message.rfind("ZEM_SIGNING_KEY is set but malformed: ", 0), 0u);
  }
}

TEST_F(AssemblyTest, AFailedStageMakesTheCertificateIncomplete) {
  UnsealedCertificate unsealed(inputs().run, "req");
  StageRecord failed;
  failed.stage_id = "s0";
  failed.status = CheckStatus::failed;
  unsealed.set_stages({failed});
  const auto certificate = finalise_certificate(std::move(unsealed));
  ASSERT_TRUE(certificate);
  EXPECT_EQ(certificate->status, CertificateStatus::incomplete);
}

}  // namespace
}  // namespace certwright
