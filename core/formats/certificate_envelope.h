// A certificate carried as an in-toto Statement in a DSSE envelope: signing it, and checking
// an envelope or bundle before the certificate inside it is verified.
#pragma once

#include <simdjson.h>

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"
#include "core/formats/dsse_envelope.h"
#include "core/formats/intoto_statement.h"
#include "core/record/certificate.h"
#include "core/record/certificate_reader.h"
#include "core/seal/signing_key.h"
#include "core/verify/certificate_verification.h"

namespace certwright {

// A bundle or envelope holds the certificate in Base64 (4/3 of its size) and a little more.
inline constexpr std::size_t kMaxAttestationBytes = kMaxCertificateBytes / 3 * 4 + (1 << 20);

// The public-key hint of bundles and the key id of envelopes: lower-case hex SHA-256 of the
// 32 raw key bytes.
std::string public_key_hint(const PublicKeyBytes& public_key);

// The certificate file an envelope names as its subject.
struct CertificateFile {
  std::string name;    // its base name
  std::string sha256;  // of its exact bytes
  std::size_t size = 0;
};

// A signed bundle's text and, inside it, the bare envelope's.
struct SignedBundle {
  std::string text;
  std::size_t envelope_at = 0;
  std::size_t envelope_size = 0;
  std::string_view envelope() const {
    return std::string_view(text).substr(envelope_at, envelope_size);
  }
};

// Room for the bundle of a certificate file of `size` bytes, to be handed to recycle_encoding
// before the certificate's seal is checked: the checks' encodings and then the bundle are all
// written into the same pages (for 120,000 artifacts 14 MB touched once instead of 25 MB).
std::string bundle_buffer(std::size_t size);

// The timestamps of a DSSE signature (its raw bytes), each an authority's DER TimeStampResp, or
// why they could not be had.
using Timestamper =
    std::function<std::expected<std::vector<std::string>, Error>(std::string_view signature)>;

// The bundle (with `key`'s hint) of the envelope of the Statement whose subject is `file` and
// whose predicate is `certificate` as its operator sealed it, signed by `key` over the
// pre-authentication encoding. A platformCountersign, which neither the certificate's hash nor
// its signature covers, is left out of the predicate, and the subject's digest is then the
// SHA-256 of the emitter's encoding of the certificate without it (the file as sealed) rather
// than `file.sha256`. The bytes are those encode_bundle and encode_envelope give, written into
// take_encoding_buffer's buffer. The certificate is released as soon as it is encoded. With a
// `timestamper`, the signature's timestamps go into the bundle's verification material; its
// error is returned as it is. `subjects` says whether the Statement names the certificate file,
// the artifacts of its passed stages, or both. Throws only when OpenSSL fails (see
// SigningKey::sign).
std::expected<SignedBundle, Error> bundle_certificate(
    const CertificateFile& file, GovernanceCertificate certificate, const SigningKey& key,
    const Timestamper& timestamper = {}, SubjectForm subjects = SubjectForm::certificate);

// True when `file` is a JSON object with a bundle's "mediaType" or an envelope's "payload" at
// its top level rather than a certificate.
bool is_attestation(simdjson::padded_string_view file);

// Verifies the certificate inside the bundle or envelope `attestation`: first the checks
// "envelope-signature" (a signature over the pre-authentication encoding by a trusted key, or
// with integrity_only by the certificate's own key; key ids and hints are ignored),
// "envelope-statement" (payload type, Statement type, predicate type), "envelope-key" (that key
// is the certificate's signing key) and "envelope-subject" (the certificate's subject, whose
// digest is the SHA-256 of `certificate_file`, or of the emitter's encoding of its certificate
// without the platformCountersign it carries, or, without a file, of the pretty encoding of the
// embedded certificate; or exactly the subjects artifact_subjects gives for the certificate; or
// the certificate's subject followed by those), then verify_certificate's on the embedded
// certificate (on the certificate file when it carries a platformCountersign, so that it is
// judged), with the bundle's RFC 3161 tokens checked over the envelope's signature that verified
// when policy.tsa_certificates are given. An attestation that cannot be read gives one failed
// "envelope-statement" check and nothing else.
VerificationReport verify_attestation(simdjson::padded_string_view attestation,
                                      std::optional<std::string_view> certificate_file,
                                      const VerificationPolicy& policy, const DriftInputs& inputs);

}  // namespace certwright
