#include "core/formats/sigstore_bundle.h"

#include <algorithm>
#include <initializer_list>
#include <new>
#include <set>

#include "core/base/base64.h"
#include "core/base/json_writer.h"
#include "core/base/text.h"

namespace certwright {
namespace {

namespace dom = simdjson::dom;

// Records nest three deep; a deeper file is not one of ours.
constexpr std::size_t kMaxDepth = 16;

std::unexpected<Error> refuse(std::string_view where, std::string_view reason) {
  return std::unexpected(Error{std::string(where) + ": " + std::string(reason)});
}

// `object`'s members, after checking that each key is among `allowed` and given once.
std::expected<std::map<std::string_view, dom::element>, Error> members_of(
    dom::element element, std::string_view where, std::initializer_list<std::string_view> allowed) {
  dom::object object;
  if (element.get_object().get(object)) return refuse(where, "not a JSON object");
  std::map<std::string_view, dom::element> members;
  for (const auto [key, value] : object) {
    if (std::ranges::find(allowed, key) == allowed.end())
      return refuse(where, "unknown key \"" + single_line(key) + "\"");
    if (!members.emplace(key, value).second)
      return refuse(where, "duplicate key \"" + single_line(key) + "\"");
  }
  return members;
}

std::expected<std::string_view, Error> text_of(
    const std::map<std::string_view, dom::element>& members, std::string_view key,
    std::string_view where) {
  const auto found = members.find(key);
  const std::string place = std::string(where) + "." + std::string(key);
  if (found == members.end()) return refuse(place, "missing");
  std::string_view text;
  if (found->second.get_string().get(text)) return refuse(place, "not a string");
  return text;
}

std::expected<std::string, Error> decoded(std::string_view text, std::string_view where) {
  std::string bytes(base64_decoded_size(text), '\0');
  const auto size =
      base64_decode(text, {reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()});
  if (!size) return refuse(where, "base64: " + size.error());
  bytes.resize(*size);
  return bytes;
}

std::expected<DsseSignature, Error> read_signature(dom::element element, const std::string& where) {
  const auto members = members_of(element, where, {"keyid", "sig"});
  if (!members) return std::unexpected(members.error());
  DsseSignature signature;
  if (members->contains("keyid")) {
    const auto keyid = text_of(*members, "keyid", where);
    if (!keyid) return std::unexpected(keyid.error());
    signature.keyid = *keyid;
  }
  const auto text = text_of(*members, "sig", where);
  if (!text) return std::unexpected(text.error());
  auto bytes = decoded(*text, where + ".sig");
  if (!bytes) return std::unexpected(bytes.error());
  signature.signature = std::move(*bytes);
  return signature;
}

std::expected<DsseEnvelope, Error> read_envelope(dom::element element, std::string_view where) {
  const auto members = members_of(element, where, {"payload", "payloadType", "signatures"});
  if (!members) return std::unexpected(members.error());
  DsseEnvelope envelope;
  const auto payload = text_of(*members, "payload", where);
  if (!payload) return std::unexpected(payload.error());
  auto payload_bytes = decoded(*payload, std::string(where) + ".payload");
  if (!payload_bytes) return std::unexpected(payload_bytes.error());
  envelope.payload = std::move(*payload_bytes);
  const auto payload_type = text_of(*members, "payloadType", where);
  if (!payload_type) return std::unexpected(payload_type.error());
  envelope.payload_type = *payload_type;
  const std::string list = std::string(where) + ".signatures";
  dom::array signatures;
  if (!members->contains("signatures") || members->at("signatures").get_array().get(signatures))
    return refuse(list, "missing or not an array");
  for (dom::element signature : signatures) {
    auto read =
        read_signature(signature, list + "[" + std::to_string(envelope.signatures.size()) + "]");
    if (!read) return std::unexpected(read.error());
    envelope.signatures.push_back(std::move(*read));
  }
  if (envelope.signatures.empty()) return refuse(list, "no signature");
  return envelope;
}

bool is_empty(dom::element element) {
  dom::array array;
  dom::object object;
  if (!element.get_array().get(array)) return array.size() == 0;
  if (!element.get_object().get(object)) return object.size() == 0;
  return element.is_null();
}

// "timestampVerificationData": its RFC 3161 timestamps, each an object holding only the Base64
// "signedTimestamp". An empty object stands for none.
std::expected<void, Error> read_timestamps(dom::element element, AttestationFile& file) {
  constexpr std::string_view where = "verificationMaterial.timestampVerificationData";
  const auto members = members_of(element, where, {"rfc3161Timestamps"});
  if (!members) return std::unexpected(members.error());
  const auto list = members->find("rfc3161Timestamps");
  if (list == members->end()) return {};
  const std::string place = std::string(where) + ".rfc3161Timestamps";
  dom::array entries;
  if (list->second.get_array().get(entries)) return refuse(place, "not an array");
  for (dom::element entry : entries) {
    const std::string at = place + "[" + std::to_string(file.timestamps.size()) + "]";
    const auto entry_members = members_of(entry, at, {"signedTimestamp"});
    if (!entry_members) return std::unexpected(entry_members.error());
    const auto text = text_of(*entry_members, "signedTimestamp", at);
    if (!text) return std::unexpected(text.error());
    auto bytes = decoded(*text, at + ".signedTimestamp");
    if (!bytes) return std::unexpected(bytes.error());
    file.timestamps.push_back(std::move(*bytes));
  }
  return {};
}

// The verification material: a public-key hint, and what is present but not checked here.
std::expected<void, Error> read_material(dom::element element, AttestationFile& file) {
  constexpr std::string_view where = "verificationMaterial";
  const auto members = members_of(element, where,
                                  {"publicKey", "x509CertificateChain", "certificate",
                                   "tlogEntries", "timestampVerificationData"});
  if (!members) return std::unexpected(members.error());
  for (std::string_view chain : {"x509CertificateChain", "certificate"})
    if (members->contains(chain))
      return refuse(std::string(where) + "." + std::string(chain),
                    "certificate material is not accepted; only a public-key hint is");
  const auto key = members->find("publicKey");
  if (key == members->end()) return refuse(std::string(where) + ".publicKey", "missing");
  const auto key_members = members_of(key->second, "verificationMaterial.publicKey", {"hint"});
  if (!key_members) return std::unexpected(key_members.error());
  if (key_members->contains("hint")) {
    const auto hint = text_of(*key_members, "hint", "verificationMaterial.publicKey");
    if (!hint) return std::unexpected(hint.error());
    file.key_hint = std::string(*hint);
  }
  if (const auto found = members->find("tlogEntries");
      found != members->end() && !is_empty(found->second))
    file.not_checked.emplace_back("tlogEntries");
  if (const auto found = members->find("timestampVerificationData"); found != members->end())
    return read_timestamps(found->second, file);
  return {};
}

std::expected<AttestationFile, Error> read_bundle(dom::element root) {
  const auto members = members_of(
      root, "bundle", {"mediaType", "verificationMaterial", "dsseEnvelope", "messageSignature"});
  if (!members) return std::unexpected(members.error());
  const auto media_type = text_of(*members, "mediaType", "bundle");
  if (!media_type) return std::unexpected(media_type.error());
  if (*media_type != kBundleMediaType) {
    std::string detail = "\"";
    detail += single_line(*media_type);
    detail += "\", not \"";
    detail += kBundleMediaType;
    detail += '"';
    return refuse("bundle.mediaType", detail);
  }
  if (members->contains("messageSignature"))
    return refuse("bundle.messageSignature", "a message signature, not a DSSE envelope");
  AttestationFile file{.form = AttestationForm::bundle};
  if (!members->contains("verificationMaterial"))
    return refuse("bundle.verificationMaterial", "missing");
  if (auto read = read_material(members->at("verificationMaterial"), file); !read)
    return std::unexpected(read.error());
  if (!members->contains("dsseEnvelope")) return refuse("bundle.dsseEnvelope", "missing");
  auto envelope = read_envelope(members->at("dsseEnvelope"), "dsseEnvelope");
  if (!envelope) return std::unexpected(envelope.error());
  file.envelope = std::move(*envelope);
  return file;
}

}  // namespace

// The bytes an envelope's JSON needs beyond its Base64 payload.
constexpr std::size_t kEnvelopeRoom = 1024;

std::string encode_envelope(const DsseEnvelope& envelope) {
  std::string out;
  out.reserve(base64_encoded_size(envelope.payload.size()) + kEnvelopeRoom);
  JsonWriter writer(Layout::compact, out);
  write_json(writer, envelope);
  return out;
}

std::string encode_bundle(const DsseEnvelope& envelope, std::string_view key_hint,
                          std::span<const std::string> timestamps) {
  std::string out;
  out.reserve(base64_encoded_size(envelope.payload.size()) + kEnvelopeRoom + key_hint.size());
  JsonWriter writer(Layout::compact, out);
  writer.begin_object();
  writer.key("mediaType");
  writer.string(kBundleMediaType);
  writer.key("verificationMaterial");
  writer.begin_object();
  writer.key("publicKey");
  writer.begin_object();
  writer.key("hint");
  writer.string(key_hint);
  writer.end_object();
  writer.key("tlogEntries");
  writer.begin_array();
  writer.end_array();
  if (!timestamps.empty()) {
    writer.key("timestampVerificationData");
    writer.begin_object();
    writer.key("rfc3161Timestamps");
    writer.begin_array();
    for (const std::string& timestamp : timestamps) {
      writer.begin_object();
      writer.key("signedTimestamp");
      writer.base64_string(
          {reinterpret_cast<const unsigned char*>(timestamp.data()), timestamp.size()});
      writer.end_object();
    }
    writer.end_array();
    writer.end_object();
  }
  writer.end_object();
  writer.key("dsseEnvelope");
  write_json(writer, envelope);
  writer.end_object();
  return out;
}

BundleFrame bundle_frame(const DsseEnvelope& envelope, std::string_view key_hint,
                         std::span<const std::string> timestamps) {
  const DsseEnvelope empty{
      .payload = {}, .payload_type = envelope.payload_type, .signatures = envelope.signatures};
  const std::string bundle = encode_bundle(empty, key_hint, timestamps);
  // The envelope is the bundle's last member and its payload the envelope's first.
  constexpr std::string_view kPayloadKey = R"({"payload":")";
  const std::size_t envelope_at = bundle.size() - encode_envelope(empty).size() - 1;
  const std::size_t payload_at = envelope_at + kPayloadKey.size();
  return {bundle.substr(0, payload_at), bundle.substr(payload_at), envelope_at};
}

std::expected<AttestationFile, Error> read_attestation(simdjson::padded_string_view text) {
  dom::parser parser;
  if (parser.allocate(std::max<std::size_t>(text.size(), 64), kMaxDepth)) throw std::bad_alloc();
  dom::element root;
  if (const auto code = parser.parse(text.data(), text.size(), false).get(root)) {
    if (code == simdjson::MEMALLOC) throw std::bad_alloc();
    return refuse("attestation", std::string("not JSON: ") + simdjson::error_message(code));
  }
  dom::object object;
  if (root.get_object().get(object)) return refuse("attestation", "not a JSON object");
  if (object.at_key("mediaType").error() == simdjson::SUCCESS) return read_bundle(root);
  if (object.at_key("payload").error() != simdjson::SUCCESS)
    return refuse("attestation", "neither a bundle (\"mediaType\") nor an envelope (\"payload\")");
  auto envelope = read_envelope(root, "envelope");
  if (!envelope) return std::unexpected(envelope.error());
  return AttestationFile{.form = AttestationForm::envelope, .envelope = std::move(*envelope)};
}

}  // namespace certwright
