#include "core/record/certificate_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/record/certificate_encoding.h"

namespace certwright {
namespace {

// Every record and every optional member, in the encoder's compact form.
const std::string kFull =
    R"({"certificateVersion":"1.5.0","pipelineRunId":"run-\u0001\"é","timestamp":"2016-12-31T23:59:60.500Z",)"
    R"("status":"incomplete","intent":{"requirementsHash":"req","specId":"spec-7","specHash":"sh"},)"
    R"("buildSpec":{"hash":"bs","approvalRecord":{"approvedBy":"ana",)"
    R"("approvedAt":"2024-02-29T00:00:00.000001Z","gateType":"manual"}},)"
    R"("stages":[{"stageId":"s0","status":"passed","artifactHashes":{"B":"1","a":"3","b":"2"},)"
    R"("gateResult":{"passed":true,"checksRun":4294967295,"checksFailed":1},)"
    R"("durationMs":18446744073709551615,)"
    R"("sandboxExecution":{"command":["make","all"],"inputArtifactHashes":{"in":"h1"},)"
    R"("outputArtifactHashes":{},"resourcePeak":{"cpuMilliPeak":250,"memoryBytesPeak":1048576,)"
    R"("pidPeak":7},"isolationTier":255,"runtimeDescriptor":"gvisor","deadlineHit":false,)"
    R"("exitCode":-2147483648}},{"stageId":"s1","status":"skipped","artifactHashes":{},)"
    R"("gateResult":null}],)"
    R"("verification":{"compile":"passed","test":"failed","lint":"skipped","typecheck":"passed",)"
    R"("securityScan":"failed"},)"
    R"("proofChain":{"recordCount":2,"firstRecordHash":"f","lastRecordHash":"l",)"
    R"("chainIntegrity":"unverified"},)"
    R"("compliance":{"frameworks":[],"mappings":[{"control":"c1","mechanism":"m1",)"
    R"("status":"met"}]},)"
    R"("signer":{"subject":" alice","identityProvider":"idp","sessionId":"sess"},)"
    R"("interStageChain":{"keyChain":{"runId":"run-1","rootPublicKeyB64":"root",)"
    R"("stageKeys":{"s0":{"stageId":"s0","ephemeralPublicKeyB64":"epk","keyFingerprint":"fp"}}},)"
    R"("manifests":[{"runId":"run-1","fromStage":"s0","toStage":"s1",)"
    R"("producedAt":"1970-01-01T00:00:00.123456789Z","artifactHashes":{"x":"h"},)"
    R"("metadata":{"big":18446744073709551615,"d":100.0,"e":1e+16,"list":[null,true,-0.0,)"
    R"(0.00001,1e-6,{"B":[],"a":{}}],"neg":-9223372036854775808,"s":"t"},)"
    R"("signer":{"agentId":"agent","ephemeralKeyId":"kid"},"signature":"sig"}]},)"
    R"("admittedEnvelopeHash":"aeh","goalId":"g","intentCapsuleHash":"ich",)"
    R"("consumedOverrides":[{"artifactId":"a1","path":"p","contentHash":"ch","author":"bob",)"
    R"("modifiedAt":"2 days ago","verified":true,"verifiedBy":"carol"}],)"
    R"("corpusBinding":{"corpusAttestationHash":"cah","varrowVersion":"1.0"},)"
    R"("sbomArtifactBinding":{"bomHash":"bh","auditHash":"ah","bomToolVersion":"cdx 1"},)"
    R"("agenticPostureBinding":{"posture":"governed","defaulted":false,)"
    R"("surfaces":[{"kind":"tool","description":"desc","governanceEnvelope":null},{"kind":"m"}]},)"
    R"("certificateHash":"H","signingPublicKey":"PK","certSignature":"SIG",)"
    R"("signingAttestation":{"kind":"sigstore-rekor","note":"rekor"},)"
    R"("platformCountersign":{"countersignJws":"jws","kid":"kid1",)"
    R"("countersignedAt":"1970-01-01T00:00:00Z"}})";

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(CertificateReader, EncoderTextReadsBackToTheSameBytes) {
  const auto certificate = read_certificate(kFull);
  ASSERT_TRUE(certificate) << certificate.error().message;
  EXPECT_EQ(encode_compact(*certificate), kFull);
  // The pretty layout of the same records reads back to the same records.
  const auto again = read_certificate(encode_pretty(*certificate));
  ASSERT_TRUE(again) << again.error().message;
  EXPECT_EQ(encode_compact(*again), kFull);
  EXPECT_EQ(certificate->timestamp.nanos, 1'500'000'000u);  // the leap second
  // A text handed over is read the same, and released before the records are built.
  simdjson::padded_string owned(kFull);
  const auto released = read_certificate_releasing(std::move(owned));
  ASSERT_TRUE(released) << released.error().message;
  EXPECT_EQ(encode_compact(*released), kFull);
  EXPECT_EQ(owned.size(), 0u);
}

TEST(CertificateReader, ReformattedTextReadsToTheSameRecords) {
  // Other white space, members in another order, escapes spelled differently, numbers spelled
  // differently within their kind.
  std::string text = replaced(kFull, R"("pipelineRunId":"run-\u0001\"é")",
                              " \"pipelineRunId\" :\n\t\"run-\\u0001\\\"\\u00e9\" ");
  text = replaced(text, R"({"B":"1","a":"3","b":"2"})", R"({"b":"2","B":"1","a":"3"})");
  text = replaced(text, R"("d":100.0,"e":1e+16)", R"("e":1E16,"d":1e2)");
  text = replaced(text, R"({"requirementsHash":"req","specId":"spec-7","specHash":"sh"})",
                  R"({"specHash":"sh","specId":"spec-7","requirementsHash":"req"})");
  const auto certificate = read_certificate("\r\n " + text + "\n");
  ASSERT_TRUE(certificate) << certificate.error().message;
  EXPECT_EQ(encode_compact(*certificate), kFull);
}

TEST(CertificateReader, RefusesWhatTheRecordsCannotHold) {
  struct Case {
    std::string text;
    std::string_view error;
  };
  const std::vector<Case> cases = {
      {"\xEF\xBB\xBF" + kFull, "certificate: a byte-order mark is not allowed"},
      {"", "certificate: empty"},
      {"[]", "certificate: expected an object"},
      {kFull + "{}", "certificate: not JSON"},
      {kFull.substr(0, kFull.size() - 1), "certificate: not JSON"},
      {replaced(kFull, R"("goalId":"g")", R"("goalId":"g","goalId":"h")"),
       R"(certificate: duplicate key "goalId")"},
      {replaced(kFull, R"("goalId":"g")", R"("goalId":"g","extra":1)"),
       R"(certificate: unknown key "extra")"},
      {replaced(kFull, R"("specHash":"sh")", R"("specHash":"sh","x":null)"),
       R"(intent: unknown key "x")"},
      {replaced(kFull, R"({"B":"1")", R"({"a":"0","B":"1")"),
       R"(stages[0].artifactHashes: duplicate key "a")"},
      {replaced(kFull, R"("s":"t")", R"("s":"t","s":"u")"),
       R"(interStageChain.manifests[0].metadata: duplicate key "s")"},
      {replaced(kFull, R"({"B":[],"a":{}})", R"({"B":[],"a":{},"B":1})"),
       R"(metadata.list[5]: duplicate key "B")"},
      {replaced(kFull, R"("1.5.0")", R"("1.6.0")"),
       R"(certificateVersion: unsupported version "1.6.0" (this verifier reads 1.5.0))"},
      {replaced(kFull, R"("status":"incomplete")", R"("status":"Incomplete")"),
       R"(status: unknown value "Incomplete")"},
      {replaced(kFull, R"(4294967295)", R"(4294967296)"), "checksRun: integer out of range"},
      {replaced(kFull, R"("isolationTier":255)", R"("isolationTier":256)"),
       "isolationTier: integer out of range"},
      {replaced(kFull, R"(-2147483648)", R"(-2147483649)"), "exitCode: integer out of range"},
      {replaced(kFull, R"("pidPeak":7)", R"("pidPeak":7.0)"), "pidPeak: expected an integer"},
      {replaced(kFull, R"("pidPeak":7)", R"("pidPeak":-7)"),
       "pidPeak: expected an unsigned integer"},
      {replaced(kFull, R"(18446744073709551615,)", R"(18446744073709551616,)"),
       "certificate: a number that is malformed or out of range"},
      {replaced(kFull, R"("d":100.0)", R"("d":1e400)"),
       "certificate: a number that is malformed or out of range"},
      {replaced(kFull, R"("goalId":"g")", R"("goalId":"\ud800")"),
       "certificate: a string with a bad escape or a lone surrogate"},
      {replaced(kFull, R"("goalId":"g")", "\"goalId\":\"\xC3\""), "certificate: not valid UTF-8"},
      {replaced(kFull, R"(,"gateResult":null)", ""), R"(stages[1]: missing key "gateResult")"},
      {replaced(kFull, R"("certSignature":"SIG",)", ""),
       R"(certificate: missing key "certSignature")"},
      {replaced(kFull, R"("goalId":"g")", R"("goalId":null)"), "goalId: expected a string"},
      {replaced(kFull, R"("frameworks":[],)", ""), R"(compliance: missing key "frameworks")"},
      {replaced(kFull, R"({"control":"c1","mechanism":"m1","status":"met"})", ""),
       "compliance.mappings: an empty value is left out, never written"},
      {replaced(
           kFull,
           R"(,"surfaces":[{"kind":"tool","description":"desc","governanceEnvelope":null},{"kind":"m"}])",
           R"(,"surfaces":[])"),
       "agenticPostureBinding.surfaces: an empty value is left out, never written"},
      {replaced(kFull, R"("timestamp":"2016-12-31T23:59:60.500Z")",
                R"("timestamp":"2016-12-31T23:59:60.5Z")"),
       "timestamp: not a date-time"},
  };
  for (const Case& c : cases) {
    const auto certificate = read_certificate(c.text);
    ASSERT_FALSE(certificate) << c.error;
    EXPECT_NE(certificate.error().message.find(c.error), std::string::npos)
        << certificate.error().message << "\n  expected: " << c.error;
  }
}

TEST(CertificateReader, DateTimesMustBeTheEncodersTextOfARealInstant) {
  struct Case {
    std::string_view text;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"2026-01-05T09:30:00Z", true},           {"2026-01-05T09:30:00.250Z", true},
      {"2026-01-05T09:30:00.123456700Z", true}, {"2024-02-29T12:00:00Z", true},
      {"2016-12-31T23:59:60Z", true},           {"0000-01-01T00:00:00Z", true},
      {"2026-01-05T09:30:00.250000Z", false},  // not the shortest exact fraction
      {"2026-01-05T09:30:00.000Z", false},      {"2026-01-05T09:30:00.25Z", false},
      {"2026-01-05T09:30:00", false},           {"2026-01-05T09:30:00+00:00", false},
      {"2026-01-05 09:30:00Z", false},          {"2025-02-29T12:00:00Z", false},
      {"2026-04-31T12:00:00Z", false},          {"2026-13-01T12:00:00Z", false},
      {"2026-01-05T24:00:00Z", false},          {"2026-01-05T12:60:00Z", false},
      {"2026-01-05T12:30:60Z", false},  // a leap second ends a day
      {"+2026-01-05T09:30:00Z", false},         {"2026-1-05T09:30:00Z", false},
  };
  for (const Case& c : cases) {
    const std::string text =
        replaced(kFull, R"("2016-12-31T23:59:60.500Z")", "\"" + std::string(c.text) + "\"");
    EXPECT_EQ(read_certificate(text).has_value(), c.valid) << c.text;
  }
}

TEST(CertificateReader, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  for (const std::size_t depth : {255u, 256u, 100'000u}) {
    const std::string nested = std::string(depth, '[') + std::string(depth, ']');
    const auto certificate = read_certificate(replaced(kFull, R"("s":"t")", "\"s\":" + nested));
    // The metadata value sits four levels down.
    EXPECT_EQ(certificate.has_value(), depth + 4 <= kMaxCertificateDepth) << depth;
    if (!certificate) {
      EXPECT_EQ(certificate.error().message, "certificate: nested deeper than 256 levels");
    }
  }
}

}  // namespace
}  // namespace certwright
