// The certificate's Ed25519 seal.
#pragma once

#include <string>

#include "core/record/certificate.h"
#include "core/seal/signing_key.h"

namespace certwright {

// Standard padded Base64 of the 32-byte public key (44 characters); cannot fail.
std::string encode_public_key(const SigningKey& key);

// Standard padded Base64 (88 characters) of the Ed25519 signature over the compact encoding of
// the signing view ("certSignature" empty, no "platformCountersign"). `certificate` is not
// changed. Throws only when OpenSSL fails (see SigningKey::sign).
std::string sign_certificate(const GovernanceCertificate& certificate, const SigningKey& key);

// Sets "certificateHash" (compute_certificate_hash) and then "certSignature"
// (sign_certificate, which so covers the hash).
void seal_certificate(GovernanceCertificate& certificate, const SigningKey& key);

}  // namespace certwright
