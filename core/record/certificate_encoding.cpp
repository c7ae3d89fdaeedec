#include "core/record/certificate_encoding.h"

#include <concepts>
#include <cstddef>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/content_hash.h"
#include "core/base/memory_pages.h"
#include "core/record/certificate_members.h"

namespace certwright {
namespace {

// Every writer is declared up front so the container and member templates below find
// them all by ordinary lookup, whatever order the definitions come in.
void put(JsonWriter& writer, std::string_view text);
void put(JsonWriter& writer, bool value);
void put(JsonWriter& writer, std::uint8_t value);
void put(JsonWriter& writer, std::uint32_t value);
void put(JsonWriter& writer, std::uint64_t value);
void put(JsonWriter& writer, std::int32_t value);
void put(JsonWriter& writer, UtcTime time);
void put(JsonWriter& writer, const JsonValue& value);
void put(JsonWriter& writer, CertificateStatus status);
void put(JsonWriter& writer, CheckStatus status);
void put(JsonWriter& writer, ChainIntegrity integrity);
void put(JsonWriter& writer, AttestationKind kind);
// Every described record: an object of its members, walked in key order.
template <DescribedRecord Record>
void put(JsonWriter& writer, const Record& record);

template <class T>
void put(JsonWriter& writer, const std::vector<T>& list) {
  writer.begin_array();
  for (const T& element : list)
    put(writer, element);
  writer.end_array();
}

// StringMap iterates in ascending byte-wise key order, as the encoding requires.
void put(JsonWriter& writer, const StringMap& map) {
  writer.begin_object();
  for (const auto& [name, value] : map) {
    writer.key(name);
    writer.string(value);
  }
  writer.end_object();
}

// Maps are std::map, so iteration is already ascending byte-wise key order.
template <class T>
void put(JsonWriter& writer, const std::map<std::string, T>& map) {
  writer.begin_object();
  for (const auto& [name, value] : map) {
    writer.key(name);
    put(writer, value);
  }
  writer.end_object();
}

// One JSON object, written member by member in the order of the calls; each call names the
// member's key and its presence rule. The object closes when this goes out of scope.
class Members {
 public:
  explicit Members(JsonWriter& writer) : writer_(writer) { writer_.begin_object(); }
  ~Members() { writer_.end_object(); }
  Members(const Members&) = delete;
  Members& operator=(const Members&) = delete;

  template <class T>
  void always(std::string_view key, const T& value) {
    writer_.key(key);
    put(writer_, value);
  }
  template <class T>
  void if_present(std::string_view key, const std::optional<T>& value) {
    if (value) always(key, *value);
  }
  template <class Container>
  void if_not_empty(std::string_view key, const Container& values) {
    if (!values.empty()) always(key, values);
  }
  template <class T>
  void null_if_absent(std::string_view key, const std::optional<T>& value) {
    if (value) {
      always(key, *value);
    } else {
      writer_.key(key);
      writer_.null();
    }
  }

 private:
  JsonWriter& writer_;
};

void put(JsonWriter& writer, std::string_view text) {
  writer.string(text);
}
void put(JsonWriter& writer, bool value) {
  writer.boolean(value);
}
void put(JsonWriter& writer, std::uint8_t value) {
  writer.unsigned_integer(value);
}
void put(JsonWriter& writer, std::uint32_t value) {
  writer.unsigned_integer(value);
}
void put(JsonWriter& writer, std::uint64_t value) {
  writer.unsigned_integer(value);
}
void put(JsonWriter& writer, std::int32_t value) {
  writer.signed_integer(value);
}
void put(JsonWriter& writer, UtcTime time) {
  writer.string(format_date_time(time));
}
void put(JsonWriter& writer, const JsonValue& value) {
  writer.value(value);
}
void put(JsonWriter& writer, CertificateStatus status) {
  writer.string(to_text(status));
}
void put(JsonWriter& writer, CheckStatus status) {
  writer.string(to_text(status));
}
void put(JsonWriter& writer, ChainIntegrity integrity) {
  writer.string(to_text(integrity));
}
void put(JsonWriter& writer, AttestationKind kind) {
  writer.string(to_text(kind));
}

template <DescribedRecord Record>
void put(JsonWriter& writer, const Record& record) {
  Members object(writer);
  describe(record, object);
}

// Allowance for everything but the artifact maps.
constexpr std::size_t kFixedPart = 4096;

// Bytes the encoding will take, closely enough that a certificate with a hundred thousand
// artifact hashes is written into one allocation. Artifact maps dominate every real certificate;
// the per-entry allowance covers quotes, ": ", the comma, the line break and the indentation.
std::size_t estimated_size(const GovernanceCertificate& certificate) {
  constexpr std::size_t kPerStage = 256;
  constexpr std::size_t kPerEntry = 16;
  std::size_t size = kFixedPart;
  for (const StageRecord& stage : certificate.stages) {
    size += kPerStage + stage.stage_id.size();
    for (const auto& [name, hash] : stage.artifact_hashes)
      size += name.size() + hash.size() + kPerEntry;
  }
  return size;
}

// The buffer the next encoding writes into. A run encodes one large certificate several times
// (hash view, signing view, file); writing each into the pages the previous one already touched
// spares a fresh allocation's page faults every time. One per thread: certificates of a batch
// are verified side by side.
std::string& spare_buffer() {
  thread_local std::string spare;
  return spare;
}

// The certificate's members as `view` shows them: the views override members while writing, so
// the certificate itself is never copied.
class ViewMembers : public Members {
 public:
  ViewMembers(JsonWriter& writer, const GovernanceCertificate& certificate, CertificateView view)
      : Members(writer), certificate_(certificate), view_(view) {}

  using Members::if_not_empty;
  using Members::null_if_absent;

  template <class T>
  void always(std::string_view key, const T& value) {
    if constexpr (std::same_as<T, std::string>) {
      if (blanked(value)) return Members::always(key, std::string_view());
    }
    Members::always(key, value);
  }
  template <class T>
  void if_present(std::string_view key, const std::optional<T>& value) {
    // The countersignature is the certificate's only member of its type; only the full
    // certificate carries it.
    if constexpr (std::same_as<T, PlatformCountersign>) {
      if (view_ != CertificateView::full) return;
    }
    Members::if_present(key, value);
  }

 private:
  // The hash view writes the hash as "", and both views the signature.
  bool blanked(const std::string& member) const {
    return (&member == &certificate_.certificate_hash && view_ == CertificateView::hash) ||
           (&member == &certificate_.cert_signature && view_ != CertificateView::full);
  }

  const GovernanceCertificate& certificate_;
  CertificateView view_;
};

void write_members(JsonWriter& writer, const GovernanceCertificate& certificate,
                   CertificateView view) {
  ViewMembers object(writer, certificate, view);
  describe(certificate, object);
}

std::string encode(const GovernanceCertificate& certificate, Layout layout, CertificateView view) {
  std::string out = std::move(spare_buffer());
  out.clear();
  const std::size_t capacity = out.capacity();
  out.reserve(estimated_size(certificate));
  // A fresh buffer is backed by huge pages: the 12 MB encoding of 120,000 artifacts then takes
  // a few page faults instead of 2,900 (see docs/performance.md for what that saves).
  if (out.capacity() != capacity) advise_huge_pages(out.data(), out.capacity());
  JsonWriter writer(layout, out);
  write_members(writer, certificate, view);
  return out;
}

}  // namespace

void recycle_encoding(std::string&& bytes) {
  if (bytes.capacity() > spare_buffer().capacity()) spare_buffer() = std::move(bytes);
}

std::string take_encoding_buffer() {
  std::string buffer = std::move(spare_buffer());
  buffer.clear();
  return buffer;
}

std::string encode_compact(const GovernanceCertificate& certificate, CertificateView view) {
  return encode(certificate, Layout::compact, view);
}

std::string encode_pretty(const GovernanceCertificate& certificate) {
  return encode(certificate, Layout::pretty, CertificateView::full);
}

std::string compute_certificate_hash(const GovernanceCertificate& certificate) {
  std::string view = encode_compact(certificate, CertificateView::hash);
  std::string hash = hash_bytes(view);
  recycle_encoding(std::move(view));
  return hash;
}

void write_json(JsonWriter& writer, const GovernanceCertificate& certificate) {
  write_members(writer, certificate, CertificateView::full);
}
void write_json(JsonWriter& writer, const StageRecord& stage) {
  put(writer, stage);
}
void write_json(JsonWriter& writer, const SignerIdentity& signer) {
  put(writer, signer);
}
void write_json(JsonWriter& writer, const AgenticPostureBinding& binding) {
  put(writer, binding);
}

}  // namespace certwright
