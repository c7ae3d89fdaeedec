#include "core/record/certificate_encoding.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>

#include "core/base/content_hash.h"

namespace certwright {
namespace {

// RFC 8032 test 1 public key; it holds a "/", which must stay unescaped.
constexpr std::string_view kPublicKey = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

// Every optional member present, so the golden text pins the key order of every record.
GovernanceCertificate full_certificate() {
  GovernanceCertificate c;
  c.certificate_version = "1.5.0";
  c.pipeline_run_id = "run-1";
  c.timestamp = {1767605400, 250'000'000};
  c.status = CertificateStatus::incomplete;
  c.intent = {"req", "spec-7", "sh"};
  c.build_spec = {"bs", ApprovalRecord{"ana", {0, 0}, "manual"}};
  SandboxExecution sandbox{{"make", "all"}, {{"in", "h1"}}, {}, {250, 1048576, 7}, 2,
                           "gvisor",        false,          -1};
  c.stages = {StageRecord{"s0",
                          CheckStatus::passed,
                          {{"b", "2"}, {"B", "1"}, {"a", "3"}},
                          GateResult{true, 3, 1},
                          42,
                          sandbox}};
  c.verification = {CheckStatus::passed, CheckStatus::failed, CheckStatus::skipped,
                    CheckStatus::passed, CheckStatus::failed};
  c.proof_chain = {2, "f", "l", ChainIntegrity::verified};
  c.compliance = ComplianceRecord{{"soc2"}, {{"c1", "m1", "met"}}};
  c.signer = SignerIdentity{"alice", "idp", "sess"};
  StageManifest manifest{"run-1",          "s0",         "s1",
                         {0, 1000},        {{"x", "h"}}, {{"n", {std::uint64_t{1}}}},
                         {"agent", "kid"}, "sig"};
  c.inter_stage_chain =
      InterStageChain{{"run-1", "root", {{"s0", {"s0", "epk", "fp"}}}}, {manifest}};
  c.admitted_envelope_hash = "aeh";
  c.goal_id = "g";
  c.intent_capsule_hash = "ich";
  c.consumed_overrides = {{"a1", "p", "ch", "bob", "2 days \"ago\"\n", true, "carol"}};
  c.corpus_binding = CorpusBinding{"cah", "1.0"};
  c.sbom_artifact_binding = SbomArtifactBinding{"bh", "ah", "cdx 1"};
  c.agentic_posture_binding =
      AgenticPostureBinding{"bounded", false, {{"tool", "desc", JsonValue{}}}};
  c.certificate_hash = "H";
  c.signing_public_key = "PK";
  c.cert_signature = "SIG";
  c.signing_attestation = {AttestationKind::sigstore_rekor, "rekor"};
  c.platform_countersign = PlatformCountersign{"jws", "kid1", {0, 0}};
  return c;
}

constexpr std::string_view kFullBody =
    R"({"certificateVersion":"1.5.0","pipelineRunId":"run-1","timestamp":"2026-01-05T09:30:00.250Z",)"
    R"("status":"incomplete","intent":{"requirementsHash":"req","specId":"spec-7","specHash":"sh"},)"
    R"("buildSpec":{"hash":"bs","approvalRecord":{"approvedBy":"ana",)"
    R"("approvedAt":"1970-01-01T00:00:00Z","gateType":"manual"}},)"
    R"("stages":[{"stageId":"s0","status":"passed","artifactHashes":{"B":"1","a":"3","b":"2"},)"
    R"("gateResult":{"passed":true,"checksRun":3,"checksFailed":1},"durationMs":42,)"
    R"("sandboxExecution":{"command":["make","all"],"inputArtifactHashes":{"in":"h1"},)"
    R"("outputArtifactHashes":{},"resourcePeak":{"cpuMilliPeak":250,"memoryBytesPeak":1048576,)"
    R"("pidPeak":7},"isolationTier":2,"runtimeDescriptor":"gvisor","deadlineHit":false,)"
    R"("exitCode":-1}}],)"
    R"("verification":{"compile":"passed","test":"failed","lint":"skipped","typecheck":"passed",)"
    R"("securityScan":"failed"},)"
    R"("proofChain":{"recordCount":2,"firstRecordHash":"f","lastRecordHash":"l",)"
    R"("chainIntegrity":"verified"},)"
    R"("compliance":{"frameworks":["soc2"],"mappings":[{"control":"c1","mechanism":"m1",)"
    R"("status":"met"}]},)"
    R"("signer":{"subject":"alice","identityProvider":"idp","sessionId":"sess"},)"
    R"("interStageChain":{"keyChain":{"runId":"run-1","rootPublicKeyB64":"root",)"
    R"("stageKeys":{"s0":{"stageId":"s0","ephemeralPublicKeyB64":"epk","keyFingerprint":"fp"}}},)"
    R"("manifests":[{"runId":"run-1","fromStage":"s0","toStage":"s1",)"
    R"("producedAt":"1970-01-01T00:00:00.000001Z","artifactHashes":{"x":"h"},"metadata":{"n":1},)"
    R"("signer":{"agentId":"agent","ephemeralKeyId":"kid"},"signature":"sig"}]},)"
    R"("admittedEnvelopeHash":"aeh","goalId":"g","intentCapsuleHash":"ich",)"
    R"("consumedOverrides":[{"artifactId":"a1","path":"p","contentHash":"ch","author":"bob",)"
    R"("modifiedAt":"2 days \"ago\"\n","verified":true,"verifiedBy":"carol"}],)"
    R"("corpusBinding":{"corpusAttestationHash":"cah","varrowVersion":"1.0"},)"
    R"("sbomArtifactBinding":{"bomHash":"bh","auditHash":"ah","bomToolVersion":"cdx 1"},)"
    R"("agenticPostureBinding":{"posture":"bounded","defaulted":false,)"
    R"("surfaces":[{"kind":"tool","description":"desc","governanceEnvelope":null}]},)";

constexpr std::string_view kFullSeal =
    R"("certificateHash":"H","signingPublicKey":"PK","certSignature":"SIG",)"
    R"("signingAttestation":{"kind":"sigstore-rekor","note":"rekor"},)"
    R"("platformCountersign":{"countersignJws":"jws","kid":"kid1",)"
    R"("countersignedAt":"1970-01-01T00:00:00Z"}})";

// A signed certificate as the emission path builds it: one stage, operator key.
GovernanceCertificate operator_certificate() {
  GovernanceCertificate c;
  c.certificate_version = "1.5.0";
  c.pipeline_run_id = "run-7";
  c.timestamp = {1767605400, 0};
  c.stages = {
      StageRecord{"s0-preflight", CheckStatus::passed, {{"plan.md", std::string(64, 'a')}}}};
  c.signing_public_key = std::string(kPublicKey);
  c.signing_attestation = {AttestationKind::operator_, "source=ZEM_SIGNING_KEY"};
  c.certificate_hash = compute_certificate_hash(c);
  c.cert_signature = "c2lnbmF0dXJl";
  return c;
}

// The pretty text with the whitespace between tokens removed.
std::string strip_layout(std::string_view json) {
  std::string tokens;
  bool in_string = false;
  bool escaped = false;
  for (const char ch : json) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (ch == '\\')
        escaped = true;
      else if (ch == '"')
        in_string = false;
    } else if (ch == '"') {
      in_string = true;
    } else if (ch == ' ' || ch == '\n') {
      continue;
    }
    tokens.push_back(ch);
  }
  return tokens;
}

TEST(CertificateEncoding, WritesEveryMemberInRecordOrder) {
  EXPECT_EQ(encode_compact(full_certificate()), std::string(kFullBody) + std::string(kFullSeal));
}

TEST(CertificateEncoding, LeavesAbsentMembersOutAndWritesGateResultNull) {
  GovernanceCertificate c;
  c.certificate_version = "1.5.0";
  c.pipeline_run_id = "r";
  c.stages = {StageRecord{"s0", CheckStatus::passed, {}}};
  c.compliance = ComplianceRecord{};
  c.signer = SignerIdentity{"alice", "idp", {}};
  c.agentic_posture_binding = AgenticPostureBinding{"declared", true, {}};
  EXPECT_EQ(
      encode_compact(c),
      R"({"certificateVersion":"1.5.0","pipelineRunId":"r","timestamp":"1970-01-01T00:00:00Z",)"
      R"("status":"complete","intent":{"requirementsHash":""},"buildSpec":{"hash":""},)"
      R"("stages":[{"stageId":"s0","status":"passed","artifactHashes":{},"gateResult":null}],)"
      R"("verification":{"compile":"skipped","test":"skipped","lint":"skipped",)"
      R"("typecheck":"skipped","securityScan":"skipped"},)"
      R"("proofChain":{"recordCount":0,"chainIntegrity":"empty"},)"
      R"("compliance":{"frameworks":[]},"signer":{"subject":"alice","identityProvider":"idp"},)"
      R"("agenticPostureBinding":{"posture":"declared","defaulted":true},)"
      R"("certificateHash":"","signingPublicKey":"","certSignature":"",)"
      R"("signingAttestation":{"kind":"unsigned"}})");
}

TEST(CertificateEncoding, WritesSurfaceEnvelopesAsHeld) {
  AgenticPostureBinding binding{"bounded", false, {}};
  binding.surfaces = {
      {"absent", {}, {}},
      {"null", "d", JsonValue{}},
      {"object", {}, JsonValue{JsonObject{{"z", {1.5}}, {"A", {JsonArray{}}}}}},
  };
  std::string out;
  JsonWriter writer(Layout::compact, out);
  write_json(writer, binding);
  EXPECT_EQ(out, R"({"posture":"bounded","defaulted":false,"surfaces":[{"kind":"absent"},)"
                 R"({"kind":"null","description":"d","governanceEnvelope":null},)"
                 R"({"kind":"object","governanceEnvelope":{"A":[],"z":1.5}}]})");
}

TEST(CertificateEncoding, WritesEnumerationTexts) {
  struct Case {
    std::string_view text;
    std::string_view expected;
  };
  const Case cases[] = {
      {to_text(CertificateStatus::complete), "complete"},
      {to_text(CertificateStatus::incomplete), "incomplete"},
      {display_name(CertificateStatus::complete), "Complete"},
      {display_name(CertificateStatus::incomplete), "Incomplete"},
      {to_text(CheckStatus::passed), "passed"},
      {to_text(CheckStatus::failed), "failed"},
      {to_text(CheckStatus::skipped), "skipped"},
      {to_text(ChainIntegrity::verified), "verified"},
      {to_text(ChainIntegrity::unverified), "unverified"},
      {to_text(ChainIntegrity::empty), "empty"},
      {to_text(AttestationKind::unsigned_), "unsigned"},
      {to_text(AttestationKind::ephemeral), "ephemeral"},
      {to_text(AttestationKind::operator_), "operator"},
      {to_text(AttestationKind::sigstore_rekor), "sigstore-rekor"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.text, c.expected);
}

TEST(CertificateEncoding, ViewsBlankTheSealWithoutTouchingTheCertificate) {
  const GovernanceCertificate certificate = full_certificate();
  struct Case {
    CertificateView view;
    std::string_view seal;
  };
  const Case cases[] = {
      {CertificateView::hash, R"("certificateHash":"","signingPublicKey":"PK","certSignature":"",)"
                              R"("signingAttestation":{"kind":"sigstore-rekor","note":"rekor"}})"},
      {CertificateView::signing,
       R"("certificateHash":"H","signingPublicKey":"PK","certSignature":"",)"
       R"("signingAttestation":{"kind":"sigstore-rekor","note":"rekor"}})"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(encode_compact(certificate, c.view), std::string(kFullBody) + std::string(c.seal));
  EXPECT_EQ(certificate.certificate_hash, "H");
  EXPECT_EQ(certificate.cert_signature, "SIG");
}

TEST(CertificateEncoding, HashViewOfAnOperatorCertificateEndsWithTheSeal) {
  const std::string view = encode_compact(operator_certificate(), CertificateView::hash);
  const std::string seal =
      R"("certificateHash":"","signingPublicKey":")" + std::string(kPublicKey) +
      R"(","certSignature":"","signingAttestation":{"kind":"operator","note":"source=ZEM_SIGNING_KEY"}})";
  EXPECT_TRUE(view.ends_with("," + seal)) << view;
}

TEST(CertificateEncoding, HashIsTheDigestOfTheCompactHashView) {
  GovernanceCertificate certificate = operator_certificate();
  certificate.platform_countersign = PlatformCountersign{"jws", "kid", {1, 0}};
  EXPECT_EQ(compute_certificate_hash(certificate), certificate.certificate_hash);
  EXPECT_EQ(certificate.certificate_hash,
            hash_bytes(encode_compact(certificate, CertificateView::hash)));
  EXPECT_EQ(certificate.certificate_hash.size(), 64u);
}

TEST(CertificateEncoding, HashCoversEverythingButTheSealItself) {
  struct Case {
    std::string_view change;
    std::function<void(GovernanceCertificate&)> apply;
    bool same_hash;
  };
  const Case cases[] = {
      {"certSignature", [](auto& c) { c.cert_signature = "b3RoZXI="; }, true},
      {"platformCountersign",
       [](auto& c) {
         c.platform_countersign = PlatformCountersign{"jws", "kid", {0, 0}};
       },
       true},
      {"certificateHash", [](auto& c) { c.certificate_hash = std::string(64, '0'); }, true},
      {"signingPublicKey", [](auto& c) { c.signing_public_key[0] = 'X'; }, false},
      {"attestation kind", [](auto& c) { c.signing_attestation.kind = AttestationKind::ephemeral; },
       false},
      {"attestation note", [](auto& c) { c.signing_attestation.note.reset(); }, false},
      {"artifact hash",
       [](auto& c) { c.stages[0].artifact_hashes.assign("plan.md", std::string(64, 'b')); }, false},
  };
  const GovernanceCertificate original = operator_certificate();
  for (const auto& c : cases) {
    GovernanceCertificate changed = original;
    c.apply(changed);
    EXPECT_EQ(compute_certificate_hash(changed) == original.certificate_hash, c.same_hash)
        << c.change;
  }
}

TEST(CertificateEncoding, PrettyAndCompactCarryTheSameTokens) {
  for (const GovernanceCertificate& certificate : {full_certificate(), operator_certificate()}) {
    const std::string compact = encode_compact(certificate);
    const std::string pretty = encode_pretty(certificate);
    EXPECT_EQ(strip_layout(pretty), compact);
    EXPECT_EQ(strip_layout(compact), compact);
    EXPECT_NE(pretty.back(), '\n');
  }
}

TEST(CertificateEncoding, PrettyLayoutIndentsRecordsAndKeepsEmptyContainersInline) {
  GovernanceCertificate certificate;
  certificate.stages = {StageRecord{"s0", CheckStatus::passed, {}},
                        StageRecord{"s1", CheckStatus::failed, {{"a.md", "h"}}}};
  const std::string pretty = encode_pretty(certificate);
  EXPECT_NE(pretty.find("\n"
                        "  \"stages\": [\n"
                        "    {\n"
                        "      \"stageId\": \"s0\",\n"
                        "      \"status\": \"passed\",\n"
                        "      \"artifactHashes\": {},\n"
                        "      \"gateResult\": null\n"
                        "    },\n"
                        "    {\n"
                        "      \"stageId\": \"s1\",\n"
                        "      \"status\": \"failed\",\n"
                        "      \"artifactHashes\": {\n"
                        "        \"a.md\": \"h\"\n"
                        "      },\n"
                        "      \"gateResult\": null\n"
                        "    }\n"
                        "  ],\n"),
            std::string::npos)
      << pretty;
  EXPECT_TRUE(pretty.starts_with("{\n  \"certificateVersion\": \"\",\n"));
  EXPECT_TRUE(
      pretty.ends_with("\n  \"signingAttestation\": {\n    \"kind\": \"unsigned\"\n  }\n}"));
  EXPECT_NE(encode_pretty(GovernanceCertificate{}).find("\n  \"stages\": [],\n"),
            std::string::npos);
}

}  // namespace
}  // namespace certwright
