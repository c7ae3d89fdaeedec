#include "core/formats/certificate_envelope.h"

#include <gtest/gtest.h>

#include "core/formats/intoto_statement.h"
#include "core/formats/sigstore_bundle.h"

namespace certwright {
namespace {

SigningKey test_key() {
  auto seed = parse_seed("nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=");
  EXPECT_TRUE(seed);
  auto key = SigningKey::from_seed(*seed);
  EXPECT_TRUE(key);
  return std::move(*key);
}

GovernanceCertificate certificate_with_artifacts() {
  GovernanceCertificate certificate;
  certificate.certificate_version = "1.5.0";
  certificate.pipeline_run_id = "run-\"42\"";
  certificate.timestamp = UtcTime{1'700'000'000, 0};
  StageRecord& stage = certificate.stages.emplace_back();
  stage.stage_id = "s0";
  for (int i = 0; i < 100; ++i)
    stage.artifact_hashes.emplace("a" + std::to_string(i), std::string(64, 'f'));
  certificate.signing_attestation.kind = AttestationKind::operator_;
  return certificate;
}

// The bundle signed and encoded in one buffer is byte for byte the one assembled from its
// parts, whatever the payload's length leaves over for the last Base64 group.
TEST(CertificateEnvelope, BundleInOneBufferIsTheAssembledOne) {
  const SigningKey key = test_key();
  const std::string hint = public_key_hint(key.public_key());
  for (const std::string_view name : {"c.json", "c1.json", "c12.json"}) {
    const CertificateFile file{std::string(name), std::string(64, '0'), 100};
    std::string statement;
    append_statement(statement, file.name, file.sha256, certificate_with_artifacts());
    const auto signature = key.sign(pre_authentication_encoding(kInTotoPayloadType, statement));
    const DsseEnvelope envelope{
        statement,
        std::string(kInTotoPayloadType),
        {{hint, std::string(reinterpret_cast<const char*>(signature.data()), signature.size())}}};

    const auto bundle = bundle_certificate(file, certificate_with_artifacts(), key);
    ASSERT_TRUE(bundle) << name;
    EXPECT_EQ(bundle->text, encode_bundle(envelope, hint)) << name;
    EXPECT_EQ(bundle->envelope(), encode_envelope(envelope)) << name;

    // Timestamps lengthen the head after the Statement was written; the tokens are asked for
    // over the signature's bytes.
    const std::vector<std::string> tokens{std::string(700, '\x30'), "\x01\x02"};
    std::string asked;
    const auto stamped =
        bundle_certificate(file, certificate_with_artifacts(), key, [&](std::string_view sig) {
          asked = sig;
          return std::expected<std::vector<std::string>, Error>(tokens);
        });
    ASSERT_TRUE(stamped) << name;
    EXPECT_EQ(asked, envelope.signatures.front().signature) << name;
    EXPECT_EQ(stamped->text, encode_bundle(envelope, hint, tokens)) << name;
    EXPECT_EQ(stamped->envelope(), encode_envelope(envelope)) << name;
    const auto read = read_attestation(simdjson::padded_string(stamped->text));
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(read->timestamps, tokens);
  }
}

TEST(CertificateEnvelope, TimestamperErrorWritesNothing) {
  const SigningKey key = test_key();
  const CertificateFile file{"c.json", std::string(64, '0'), 100};
  const auto bundle =
      bundle_certificate(file, certificate_with_artifacts(), key, [](std::string_view) {
        return std::expected<std::vector<std::string>, Error>(std::unexpected(Error{"refused"}));
      });
  ASSERT_FALSE(bundle);
  EXPECT_EQ(bundle.error().message, "refused");
}

}  // namespace
}  // namespace certwright
