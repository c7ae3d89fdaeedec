#include "core/formats/dsse_envelope.h"

#include <gtest/gtest.h>

#include "core/formats/sigstore_bundle.h"

namespace certwright {
namespace {

TEST(DsseEnvelope, PreAuthenticationEncodingCountsBytes) {
  // The example of the DSSE protocol, and a payload with multi-byte characters.
  EXPECT_EQ(pre_authentication_encoding("http://example.com/HelloWorld", "hello world"),
            "DSSEv1 29 http://example.com/HelloWorld 11 hello world");
  EXPECT_EQ(pre_authentication_encoding("", ""), "DSSEv1 0  0 ");
  EXPECT_EQ(pre_authentication_encoding("t", "\xC3\xA9 "), "DSSEv1 1 t 3 \xC3\xA9 ");
}

TEST(DsseEnvelope, WritesAndReadsBack) {
  const DsseEnvelope envelope{
      "{\"a\":1}", std::string(kInTotoPayloadType), {{"k", std::string(64, '\x01')}}};
  const std::string text = encode_envelope(envelope);
  EXPECT_TRUE(text.starts_with(R"({"payload":"eyJhIjoxfQ==","payloadType":)")) << text;
  const auto read = read_attestation(simdjson::padded_string(text));
  ASSERT_TRUE(read) << read.error().message;
  EXPECT_EQ(read->form, AttestationForm::envelope);
  EXPECT_EQ(read->envelope.payload, envelope.payload);
  ASSERT_EQ(read->envelope.signatures.size(), 1u);
  EXPECT_EQ(read->envelope.signatures[0].signature, envelope.signatures[0].signature);

  const auto bundle = read_attestation(simdjson::padded_string(encode_bundle(envelope, "h")));
  ASSERT_TRUE(bundle) << bundle.error().message;
  EXPECT_EQ(bundle->form, AttestationForm::bundle);
  EXPECT_EQ(bundle->key_hint, "h");
  EXPECT_TRUE(bundle->not_checked.empty());
}

TEST(DsseEnvelope, ReadingRefusesWhatItCannotTrust) {
  static constexpr std::string_view kEnvelope =
      R"({"payload":"e30=","payloadType":"t","signatures":[{"sig":"AA=="}]})";
  const auto bundle = [](std::string_view material, std::string_view extra = "") {
    return std::string(R"({"mediaType":"application/vnd.dev.sigstore.bundle.v0.3+json",)") +
           R"("verificationMaterial":)" + std::string(material) + std::string(extra) +
           R"(,"dsseEnvelope":)" + std::string(kEnvelope) + "}";
  };
  struct Case {
    std::string text;
    std::string_view error;  // empty: read
  };
  const Case cases[] = {
      {std::string(kEnvelope), ""},
      {R"({"payload":"e30=","payloadType":"t","signatures":[]})",
       "envelope.signatures: no signature"},
      {R"({"payload":"e30","payloadType":"t","signatures":[{"sig":"AA=="}]})",
       "envelope.payload: base64: Invalid padding"},
      {R"({"payload":"e30=","payload":"e30=","payloadType":"t","signatures":[{"sig":"AA=="}]})",
       "envelope: duplicate key \"payload\""},
      {R"({"payload":"e30=","payloadType":"t","signatures":[{"sig":"AA==","x":1}]})",
       "envelope.signatures[0]: unknown key \"x\""},
      {R"({"certificateVersion":"1.5.0"})",
       "attestation: neither a bundle (\"mediaType\") nor an envelope (\"payload\")"},
      {"[1]", "attestation: not a JSON object"},
      {bundle(R"({"publicKey":{"hint":"h"},"tlogEntries":[]})"), ""},
      {bundle(R"({"publicKey":{"hint":"h"},"x509CertificateChain":{"certificates":[]}})"),
       "verificationMaterial.x509CertificateChain: certificate material is not accepted; only a "
       "public-key hint is"},
      {bundle(R"({"certificate":{"rawBytes":""}})"),
       "verificationMaterial.certificate: certificate material is not accepted; only a public-key "
       "hint is"},
      {bundle(R"({"tlogEntries":[]})"), "verificationMaterial.publicKey: missing"},
      {std::string(R"({"mediaType":"application/vnd.dev.sigstore.bundle+json;version=0.2"})"),
       "bundle.mediaType: \"application/vnd.dev.sigstore.bundle+json;version=0.2\", not "
       "\"application/vnd.dev.sigstore.bundle.v0.3+json\""},
  };
  for (const Case& c : cases) {
    const auto read = read_attestation(simdjson::padded_string(c.text));
    if (c.error.empty())
      EXPECT_TRUE(read) << c.text << ": " << read.error().message;
    else
      EXPECT_EQ(read ? "read" : read.error().message, c.error) << c.text;
  }
  const auto logged = read_attestation(simdjson::padded_string(
      bundle(R"({"publicKey":{"hint":"h"},"tlogEntries":[{}],"timestampVerificationData":{}})")));
  ASSERT_TRUE(logged) << logged.error().message;
  EXPECT_EQ(logged->not_checked, (std::vector<std::string>{"tlogEntries"}));
  EXPECT_TRUE(logged->timestamps.empty());
}

// RFC 3161 timestamps are read strictly, each entry's DER decoded; their verification is the
// verifier's.
TEST(DsseEnvelope, TimestampsAreReadStrictly) {
  const auto material = [](std::string_view timestamps) {
    return std::string(R"({"mediaType":"application/vnd.dev.sigstore.bundle.v0.3+json",)") +
           R"("verificationMaterial":{"publicKey":{"hint":"h"},"timestampVerificationData":)" +
           std::string(timestamps) +
           R"(},"dsseEnvelope":{"payload":"","payloadType":"t","signatures":[{"sig":""}]}})";
  };
  const auto read = read_attestation(simdjson::padded_string(
      material(R"({"rfc3161Timestamps":[{"signedTimestamp":"MAM="},{"signedTimestamp":""}]})")));
  ASSERT_TRUE(read) << read.error().message;
  EXPECT_EQ(read->timestamps, (std::vector<std::string>{"0\x03", ""}));
  struct Case {
    std::string_view timestamps;
    std::string_view error;
  };
  const Case cases[] = {
      {R"({"x":1})", "verificationMaterial.timestampVerificationData: unknown key \"x\""},
      {R"({"rfc3161Timestamps":{}})",
       "verificationMaterial.timestampVerificationData.rfc3161Timestamps: not an array"},
      {R"({"rfc3161Timestamps":[{"signedTimestamp":"MAM="},{"signedTimestamp":1}]})",
       "verificationMaterial.timestampVerificationData.rfc3161Timestamps[1].signedTimestamp: not "
       "a string"},
      {R"({"rfc3161Timestamps":[{"signedTimestamp":"M","x":1}]})",
       "verificationMaterial.timestampVerificationData.rfc3161Timestamps[0]: unknown key \"x\""},
  };
  for (const Case& c : cases) {
    const auto refused = read_attestation(simdjson::padded_string(material(c.timestamps)));
    EXPECT_EQ(refused ? "read" : refused.error().message, c.error) << c.timestamps;
  }
}

}  // namespace
}  // namespace certwright
