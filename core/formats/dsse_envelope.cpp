#include "core/formats/dsse_envelope.h"

#include <span>

namespace certwright {
namespace {

std::span<const unsigned char> bytes_of(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

}  // namespace

std::string pre_authentication_header(std::string_view payload_type, std::size_t payload_size) {
  std::string header("DSSEv1 ");
  header.append(std::to_string(payload_type.size())).append(" ").append(payload_type);
  header.append(" ").append(std::to_string(payload_size)).append(" ");
  return header;
}

std::string pre_authentication_encoding(std::string_view payload_type, std::string_view payload) {
  std::string encoding = pre_authentication_header(payload_type, payload.size());
  encoding.reserve(encoding.size() + payload.size());
  encoding.append(payload);
  return encoding;
}

void write_json(JsonWriter& writer, const DsseEnvelope& envelope) {
  writer.begin_object();
  writer.key("payload");
  writer.base64_string(bytes_of(envelope.payload));
  writer.key("payloadType");
  writer.string(envelope.payload_type);
  writer.key("signatures");
  writer.begin_array();
  for (const DsseSignature& signature : envelope.signatures) {
    writer.begin_object();
    if (!signature.keyid.empty()) {
      writer.key("keyid");
      writer.string(signature.keyid);
    }
    writer.key("sig");
    writer.base64_string(bytes_of(signature.signature));
    writer.end_object();
  }
  writer.end_array();
  writer.end_object();
}

}  // namespace certwright
