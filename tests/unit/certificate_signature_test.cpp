#include "core/seal/certificate_signature.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>

#include "core/base/base64.h"
#include "core/record/certificate_encoding.h"

namespace certwright {
namespace {

// RFC 8032 section 7.1, TEST 1.
constexpr std::string_view kSeedText = "nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=";
constexpr std::string_view kPublicText = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

SigningKey test_key() {
  auto seed = parse_seed(kSeedText);
  EXPECT_TRUE(seed);
  auto key = SigningKey::from_seed(*seed);
  EXPECT_TRUE(key);
  return std::move(*key);
}

GovernanceCertificate sealed_certificate(const SigningKey& key) {
  GovernanceCertificate certificate;
  certificate.certificate_version = "1.5.0";
  certificate.pipeline_run_id = "run-42";
  certificate.timestamp = UtcTime{1'700'000'000, 0};
  certificate.signer = SignerIdentity{"alice", "https://idp.example", std::nullopt};
  certificate.certificate_hash = std::string(64, 'a');
  certificate.signing_public_key = encode_public_key(key);
  certificate.signing_attestation = {AttestationKind::operator_, "source=ZEM_SIGNING_KEY"};
  certificate.cert_signature = "stale signature";
  certificate.platform_countersign = PlatformCountersign{"jws", "kid-1", UtcTime{1, 0}};
  return certificate;
}

// Independent check with OpenSSL's verifier and the public key as a consumer would decode it.
bool verifies(std::string_view public_text, std::string_view signature_text,
              std::string_view message) {
  unsigned char public_key[33], signature[66];
  const auto public_length = base64_decode(public_text, public_key);
  const auto signature_length = base64_decode(signature_text, signature);
  if (!public_length || *public_length != 32 || !signature_length || *signature_length != 64)
    return false;
  const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key, 32), EVP_PKEY_free);
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        EVP_MD_CTX_free);
  return key && context &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), signature, 64,
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

TEST(CertificateSignature, EncodesThePublicKeyAsPaddedBase64) {
  EXPECT_EQ(encode_public_key(test_key()), kPublicText);
}

TEST(CertificateSignature, SignsTheSigningViewDeterministically) {
  const SigningKey key = test_key();
  const GovernanceCertificate certificate = sealed_certificate(key);
  const std::string signature = sign_certificate(certificate, key);

  ASSERT_EQ(signature.size(), 88u);
  EXPECT_TRUE(signature.ends_with("=="));
  EXPECT_TRUE(verifies(certificate.signing_public_key, signature,
                       encode_compact(certificate, CertificateView::signing)));
  EXPECT_EQ(sign_certificate(certificate, key), signature);
  // The certificate passed in is left as it was.
  EXPECT_EQ(certificate.cert_signature, "stale signature");
  EXPECT_TRUE(certificate.platform_countersign.has_value());
}

TEST(CertificateSignature, CoversTheHashButNotTheSignatureOrCountersign) {
  const SigningKey key = test_key();
  const GovernanceCertificate certificate = sealed_certificate(key);
  const std::string signature = sign_certificate(certificate, key);

  GovernanceCertificate unsealed = certificate;
  unsealed.cert_signature.clear();
  unsealed.platform_countersign.reset();
  EXPECT_EQ(sign_certificate(unsealed, key), signature);

  GovernanceCertificate altered = certificate;
  altered.certificate_hash = std::string(64, 'b');
  EXPECT_NE(sign_certificate(altered, key), signature);
}

TEST(CertificateSignature, SealingFromOneEncodingMatchesHashingThenSigning) {
  const SigningKey key = test_key();
  GovernanceCertificate certificate = sealed_certificate(key);
  // A nested member of the same name must not be taken for the certificate's own.
  certificate.agentic_posture_binding = AgenticPostureBinding{
      "bounded",
      false,
      {SurfaceBinding{"api", std::nullopt,
                      JsonValue{JsonObject{{"certificateHash", JsonValue{std::string()}}}}}}};

  GovernanceCertificate sealed = certificate;
  seal_certificate(sealed, key);

  GovernanceCertificate expected = certificate;
  expected.certificate_hash = compute_certificate_hash(certificate);
  expected.cert_signature = sign_certificate(expected, key);
  EXPECT_EQ(sealed.certificate_hash, expected.certificate_hash);
  EXPECT_EQ(sealed.cert_signature, expected.cert_signature);
  EXPECT_TRUE(verifies(sealed.signing_public_key, sealed.cert_signature,
                       encode_compact(sealed, CertificateView::signing)));
}

}  // namespace
}  // namespace certwright
