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
  const auto logged = read_attestation(simdjson::padded_string(bundle(
      R"({"publicKey":{"hint":"h"},"tlogEntries":[{}],"timestampVerificationData":{"x":1}})")));
  ASSERT_TRUE(logged) << logged.error().message;
  EXPECT_EQ(logged->not_checked,
            (std::vector<std::string>{"tlogEntries", "timestampVerificationData"}));
}

}  // namespace
}  // namespace certwright
