// Byte-exact encodings of the certificate and its hash.
#pragma once

#include <cstddef>
#include <string>

#include "core/base/json_writer.h"
#include "core/record/certificate.h"

namespace certwright {

// Which members are overridden while encoding. The hash view writes "certificateHash" and
// "certSignature" as "" and omits "platformCountersign"; the signing view keeps the hash.
// Encoding a view never copies the certificate.
enum class CertificateView { full, hash, signing };

// Single-line encoding without insignificant whitespace.
std::string encode_compact(const GovernanceCertificate& certificate,
                           CertificateView view = CertificateView::full);
// Two-space indented encoding; no line break after the final "}".
std::string encode_pretty(const GovernanceCertificate& certificate);

// Hands an encoding that is no longer needed back, so that the next encoding writes into its
// already touched memory instead of a fresh allocation.
void recycle_encoding(std::string&& bytes);
// The buffer recycle_encoding keeps, emptied but with its capacity, for a caller that writes a
// document holding the certificate into those pages next.
std::string take_encoding_buffer();

// SHA-256 (lower-case hex) of the compact encoding of the hash view.
std::string compute_certificate_hash(const GovernanceCertificate& certificate);

// Single records, for tests and for callers that encode a part of the tree or nest the whole
// certificate in another document (written as encode_compact or encode_pretty writes it).
void write_json(JsonWriter& writer, const GovernanceCertificate& certificate);
void write_json(JsonWriter& writer, const StageRecord& stage);
void write_json(JsonWriter& writer, const SignerIdentity& signer);
void write_json(JsonWriter& writer, const AgenticPostureBinding& binding);

}  // namespace certwright
