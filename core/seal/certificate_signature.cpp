#include "core/seal/certificate_signature.h"

#include "core/base/base64.h"
#include "core/base/content_hash.h"
#include "core/record/certificate_encoding.h"

namespace certwright {

std::string encode_public_key(const SigningKey& key) {
  return base64_encode(key.public_key());
}

std::string sign_certificate(const GovernanceCertificate& certificate, const SigningKey& key) {
  // The signing view keeps the hash, public key and attestation, so the signature covers them.
  std::string view = encode_compact(certificate, CertificateView::signing);
  std::string signature = base64_encode(key.sign(view));
  recycle_encoding(std::move(view));  // the file's encoding is written into it next
  return signature;
}

void seal_certificate(GovernanceCertificate& certificate, const SigningKey& key) {
  certificate.certificate_hash = compute_certificate_hash(certificate);
  certificate.cert_signature = sign_certificate(certificate, key);
}

}  // namespace certwright
