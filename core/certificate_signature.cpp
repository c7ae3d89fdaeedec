#include "core/certificate_signature.h"

#include "core/base64.h"
#include "core/certificate_encoding.h"
#include "core/content_hash.h"

namespace certwright {

std::string encode_public_key(const SigningKey& key) {
  return base64_encode(key.public_key());
}

std::string sign_certificate(const GovernanceCertificate& certificate, const SigningKey& key) {
  // The signing view keeps the hash, public key and attestation, so the signature covers them.
  return base64_encode(key.sign(encode_compact(certificate, CertificateView::signing)));
}

void seal_certificate(GovernanceCertificate& certificate, const SigningKey& key) {
  HashViewEncoding view = encode_hash_view(certificate);
  certificate.certificate_hash = hash_bytes(view.bytes);
  view.bytes.insert(view.certificate_hash_at, certificate.certificate_hash);  // the signing view
  certificate.cert_signature = base64_encode(key.sign(view.bytes));
  recycle_encoding(std::move(view.bytes));  // the file's encoding is written into it next
}

}  // namespace certwright
