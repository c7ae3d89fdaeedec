// DSSE envelopes: the signed wrapper of an attestation and its pre-authentication encoding.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/base/json_writer.h"

namespace certwright {

// The payload type of an in-toto Statement.
inline constexpr std::string_view kInTotoPayloadType = "application/vnd.in-toto+json";

struct DsseSignature {
  std::string keyid;      // a hint for finding the key; never trusted
  std::string signature;  // the raw signature bytes
};

// An envelope with its payload decoded: the bytes that were signed.
struct DsseEnvelope {
  std::string payload;
  std::string payload_type;
  std::vector<DsseSignature> signatures;
};

// "DSSEv1 <len(type)> <type> <len(payload)> <payload>", lengths in decimal: the bytes a DSSE
// signature covers; cannot fail.
std::string pre_authentication_encoding(std::string_view payload_type, std::string_view payload);
// Its part before the payload; cannot fail.
std::string pre_authentication_header(std::string_view payload_type, std::size_t payload_size);

// The envelope as its JSON object ("payload" and each "sig" in padded Base64, an empty keyid
// omitted).
void write_json(JsonWriter& writer, const DsseEnvelope& envelope);

}  // namespace certwright
