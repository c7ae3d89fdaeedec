// Sigstore bundles (v0.3) holding one DSSE envelope, and reading a bundle or a bare envelope.
#pragma once

#include <simdjson.h>

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"
#include "core/formats/dsse_envelope.h"

namespace certwright {

inline constexpr std::string_view kBundleMediaType =
    "application/vnd.dev.sigstore.bundle.v0.3+json";

// The bundle: media type, verification material that is the public-key hint `key_hint` (no
// transparency-log entries) and, when there are any, the RFC 3161 `timestamps` (each an
// authority's DER TimeStampResp, as "rfc3161Timestamps"), and the envelope. Cannot fail.
std::string encode_bundle(const DsseEnvelope& envelope, std::string_view key_hint,
                          std::span<const std::string> timestamps = {});
// The bare envelope. Cannot fail.
std::string encode_envelope(const DsseEnvelope& envelope);

// A bundle's text around its payload, as encode_bundle writes it: the bundle is `head`, the
// payload's Base64 and `tail`. The head runs to the payload's opening quote and depends only on
// the key hint and the timestamps; the bare envelope (encode_envelope) is the bundle's text from
// `envelope_at` up to its last byte. So a payload can be signed and encoded where it lies, in one
// buffer.
struct BundleFrame {
  std::string head;
  std::string tail;
  std::size_t envelope_at = 0;
};
// The frame of `envelope` (its payload is not looked at) in a bundle with `key_hint` and
// `timestamps`. Cannot fail.
BundleFrame bundle_frame(const DsseEnvelope& envelope, std::string_view key_hint,
                         std::span<const std::string> timestamps = {});

enum class AttestationForm { bundle, envelope };

struct AttestationFile {
  AttestationForm form = AttestationForm::envelope;
  DsseEnvelope envelope;                 // payload and signatures decoded
  std::optional<std::string> key_hint;   // a bundle's public-key hint; never trusted
  std::vector<std::string> timestamps;   // each rfc3161Timestamps entry's DER, decoded
  std::vector<std::string> not_checked;  // material present but not looked at, e.g. "tlogEntries"
};

// A bundle (an object with "mediaType") or an envelope (an object with "payload") read
// strictly: every record with only the keys it allows, each once; a bundle of the v0.3 media
// type holding a DSSE envelope and, as key material, a public-key hint only (certificates are
// refused: nothing here would check them) and RFC 3161 timestamps; Base64 payload and signatures
// that decode, at least one signature. The error names the first place that is not so.
std::expected<AttestationFile, Error> read_attestation(simdjson::padded_string_view text);

}  // namespace certwright
