#include "core/certificate_signature.h"

#include "core/base64.h"
#include "core/certificate_encoding.h"

namespace certwright {

std::string encode_public_key(const SigningKey& key) {
  return base64_encode(key.public_key());
}

std::string sign_certificate(const GovernanceCertificate& certificate, const SigningKey& key) {
  // The signing view keeps the hash, public key and attestation, so the signature covers them.
  return base64_encode(key.sign(encode_compact(certificate, CertificateView::signing)));
}

}  // namespace certwright
