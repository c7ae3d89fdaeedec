#include "core/record/certificate_reader.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/base/text.h"
#include "core/record/certificate_members.h"

namespace certwright {
namespace {

namespace dom = simdjson::dom;

// The walk's position for messages, and its first failure. Every read returns false once a
// failure is recorded, so the first one reaches the caller unchanged.
class Reader {
 public:
  bool fail(std::string_view reason) {
    if (!failure_) failure_ = where() + ": " + std::string(reason);
    return false;
  }
  std::string take_failure() { return std::move(failure_).value_or("certificate: unreadable"); }

  void enter(std::string segment) { path_.push_back(std::move(segment)); }
  void leave() { path_.pop_back(); }

 private:
  std::string where() const {
    if (path_.empty()) return "certificate";
    std::string text;
    for (const std::string& segment : path_)
      text.append(segment);
    return text.starts_with('.') ? text.substr(1) : text;
  }

  std::vector<std::string> path_;
  std::optional<std::string> failure_;
};

// Names one member or element in the messages of the reads made while it lives.
class Within {
 public:
  Within(Reader& reader, std::string segment) : reader_(reader) {
    reader_.enter(std::move(segment));
  }
  ~Within() { reader_.leave(); }
  Within(const Within&) = delete;
  Within& operator=(const Within&) = delete;

 private:
  Reader& reader_;
};

// Keys in free-form values are any text; the path shows them as one line.
Within member(Reader& reader, std::string_view key) {
  constexpr std::size_t kShown = 80;
  return Within(reader, "." + single_line(key.substr(0, kShown)));
}
Within element(Reader& reader, std::size_t index) {
  return Within(reader, "[" + std::to_string(index) + "]");
}

// The separators outside strings (",", ":", "[", "{"): every value but the first follows one,
// so they count the values to within one. The scan is linear and allocates nothing, so a text
// too dense to parse within bounds is refused before the parser spends memory on it.
std::size_t count_separators(std::string_view text) {
  std::size_t count = 0;
  bool in_string = false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (in_string) {
      if (c == '\\')
        ++at;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == ',' || c == ':' || c == '[' || c == '{') {
      ++count;
    }
  }
  return count;
}

// Every reader is declared before the templates that call them.
bool read(Reader& r, dom::element e, std::string& out);
bool read(Reader& r, dom::element e, bool& out);
template <std::unsigned_integral T>
requires(!std::same_as<T, bool>) bool read(Reader& r, dom::element e, T& out);
bool read(Reader& r, dom::element e, std::int32_t& out);
bool read(Reader& r, dom::element e, UtcTime& out);
bool read(Reader& r, dom::element e, JsonValue& out);
bool read(Reader& r, dom::element e, StringMap& out);
bool read(Reader& r, dom::element e, CertificateStatus& out);
bool read(Reader& r, dom::element e, CheckStatus& out);
bool read(Reader& r, dom::element e, ChainIntegrity& out);
bool read(Reader& r, dom::element e, AttestationKind& out);
// Every described record: the members its description names, under their presence rules.
template <DescribedRecord Record>
bool read(Reader& r, dom::element e, Record& out);

template <class T>
bool read(Reader& r, dom::element e, std::vector<T>& out) {
  dom::array array;
  if (e.get_array().get(array)) return r.fail("expected an array");
  out.reserve(array.size());
  std::size_t index = 0;
  for (const dom::element item : array) {
    const Within within = element(r, index++);
    if (!read(r, item, out.emplace_back())) return false;
  }
  return true;
}

template <class T>
bool read(Reader& r, dom::element e, std::map<std::string, T>& out) {
  dom::object object;
  if (e.get_object().get(object)) return r.fail("expected an object");
  for (const auto [key, value] : object) {
    const auto [entry, inserted] = out.try_emplace(std::string(key));
    if (!inserted) return r.fail("duplicate key " + quoted_excerpt(key));
    const Within within = member(r, key);
    if (!read(r, value, entry->second)) return false;
  }
  return true;
}

// The members of one record's object, read by walking the record's description. Every key is
// judged before any member is read: a key the record does not have, or a key given twice, is
// refused, since the record model would drop it and so it would not be covered by the
// re-encoded hash and signature. After the first failure the rest of the walk reads nothing.
class Fields {
 public:
  Fields(Reader& r, dom::element e, std::span<const MemberKey> keys) : reader_(r), keys_(keys) {
    dom::object object;
    if (e.get_object().get(object)) {
      ok_ = r.fail("expected an object");
      return;
    }
    for (const auto [key, value] : object) {
      const std::size_t at = index_of(key);
      if (at == keys_.size()) {
        ok_ = r.fail("unknown key " + quoted_excerpt(key));
        return;
      }
      if (found_[at]) {
        ok_ = r.fail("duplicate key " + quoted_excerpt(key));
        return;
      }
      found_[at] = true;
      values_[at] = value;
    }
  }

  bool ok() const { return ok_; }

  template <class T>
  void always(std::string_view key, T& out) {
    read_required(key, next(), out);
  }
  template <class T>
  void if_present(std::string_view key, std::optional<T>& out) {
    const std::size_t at = next();
    if (!ok_ || !found_[at]) return;
    // Assigned rather than emplaced: clang cannot default-emplace the recursive JsonValue.
    out = T{};
    ok_ = read_member(key, at, *out);
  }
  // The encoder leaves an empty list or map out, so one written empty is not its text.
  template <class Container>
  void if_not_empty(std::string_view key, Container& out) {
    const std::size_t at = next();
    if (!ok_ || !found_[at]) return;
    ok_ = read_member(key, at, out);
    if (!ok_ || !out.empty()) return;
    const Within within = member(reader_, key);
    ok_ = reader_.fail("an empty value is left out, never written");
  }
  template <class T>
  void null_if_absent(std::string_view key, std::optional<T>& out) {
    const std::size_t at = next();
    if (!ok_ || (found_[at] && values_[at].is_null())) return;
    out = T{};
    read_required(key, at, *out);
  }

 private:
  std::size_t index_of(std::string_view key) const {
    return static_cast<std::size_t>(std::ranges::find(keys_, key, &MemberKey::key) - keys_.begin());
  }
  // The position of the member the walk visits now: the keys were collected from the same
  // description, so the walk meets them in their order.
  std::size_t next() { return visited_++; }

  template <class T>
  void read_required(std::string_view key, std::size_t at, T& out) {
    if (!ok_) return;
    if (!found_[at]) {
      ok_ = reader_.fail("missing key " + quoted_excerpt(key));
      return;
    }
    ok_ = read_member(key, at, out);
  }
  template <class T>
  bool read_member(std::string_view key, std::size_t at, T& out) {
    const Within within = member(reader_, key);
    return read(reader_, values_[at], out);
  }

  Reader& reader_;
  std::span<const MemberKey> keys_;
  std::bitset<MemberKeys::kMax> found_;
  std::array<dom::element, MemberKeys::kMax> values_{};
  std::size_t visited_ = 0;
  bool ok_ = true;
};

bool read(Reader& r, dom::element e, std::string& out) {
  std::string_view text;
  if (e.get_string().get(text)) return r.fail("expected a string");
  out.assign(text);
  return true;
}

bool read(Reader& r, dom::element e, bool& out) {
  if (e.get_bool().get(out)) return r.fail("expected true or false");
  return true;
}

template <std::unsigned_integral T>
requires(!std::same_as<T, bool>) bool read(Reader& r, dom::element e, T& out) {
  std::uint64_t value = 0;
  if (e.type() == dom::element_type::INT64) {
    const std::int64_t signed_value = e.get_int64().value_unsafe();
    if (signed_value < 0) return r.fail("expected an unsigned integer");
    value = static_cast<std::uint64_t>(signed_value);
  } else if (e.type() == dom::element_type::UINT64) {
    value = e.get_uint64().value_unsafe();
  } else {
    return r.fail("expected an integer");
  }
  if (value > std::numeric_limits<T>::max()) return r.fail("integer out of range");
  out = static_cast<T>(value);
  return true;
}

bool read(Reader& r, dom::element e, std::int32_t& out) {
  if (e.type() != dom::element_type::INT64 && e.type() != dom::element_type::UINT64)
    return r.fail("expected an integer");
  std::int64_t value = 0;
  if (e.get_int64().get(value) || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max())
    return r.fail("integer out of range");
  out = static_cast<std::int32_t>(value);
  return true;
}

bool read(Reader& r, dom::element e, UtcTime& out) {
  std::string_view text;
  if (e.get_string().get(text)) return r.fail("expected a date-time string");
  const auto time = parse_date_time(text);
  if (!time) return r.fail("not a date-time in the certificate's form: " + quoted_excerpt(text));
  out = *time;
  return true;
}

// Free-form values keep each number in the kind its text gives it: digits alone are an
// integer, a fraction or exponent makes a double. The parser has bounded the depth already.
bool read(Reader& r, dom::element e, JsonValue& out) {
  switch (e.type()) {
    case dom::element_type::ARRAY:
      return read(r, e, out.value.emplace<JsonArray>());
    case dom::element_type::OBJECT:
      return read(r, e, out.value.emplace<JsonObject>());
    case dom::element_type::INT64: {
      const std::int64_t value = e.get_int64().value_unsafe();
      if (value >= 0)
        out.value = static_cast<std::uint64_t>(value);
      else
        out.value = value;
      return true;
    }
    case dom::element_type::UINT64:
      out.value = e.get_uint64().value_unsafe();
      return true;
    case dom::element_type::DOUBLE:
      out.value = e.get_double().value_unsafe();
      return true;
    case dom::element_type::STRING:
      out.value = std::string(e.get_string().value_unsafe());
      return true;
    case dom::element_type::BOOL:
      out.value = e.get_bool().value_unsafe();
      return true;
    case dom::element_type::NULL_VALUE:
      out.value = nullptr;
      return true;
  }
  return r.fail("unexpected value");
}

// Members may come in any order; the map holds them sorted, and a key may appear once. The
// emitter writes them in key order, and such an object is appended as it stands; any other is
// sorted first, through a list of its entries (for 20,000 artifacts 640 KB more while reading).
bool read(Reader& r, dom::element e, StringMap& out) {
  dom::object object;
  if (e.get_object().get(object)) return r.fail("expected an object");
  std::size_t text_bytes = 0;
  bool ascending = true;
  std::optional<std::string_view> previous;
  for (const auto [key, value] : object) {
    std::string_view text;
    if (value.get_string().get(text)) {
      const Within within = member(r, key);
      return r.fail("expected a string");
    }
    ascending = ascending && (!previous || *previous < key);
    previous = key;
    text_bytes += key.size() + text.size();
  }
  if (ascending) {
    out.reserve(object.size(), text_bytes);
    for (const auto [key, value] : object)
      out.append_sorted(key, value.get_string().value_unsafe());
    return true;
  }
  std::vector<std::pair<std::string_view, std::string_view>> entries;
  entries.reserve(object.size());
  for (const auto [key, value] : object)
    entries.emplace_back(key, value.get_string().value_unsafe());
  std::ranges::sort(entries, {}, &std::pair<std::string_view, std::string_view>::first);
  const auto repeated = std::ranges::adjacent_find(
      entries, [](const auto& a, const auto& b) { return a.first == b.first; });
  if (repeated != entries.end()) return r.fail("duplicate key " + quoted_excerpt(repeated->first));
  out.reserve(entries.size(), text_bytes);
  for (const auto& [key, text] : entries)
    out.append_sorted(key, text);
  return true;
}

// The enumeration value whose certificate text is the string's; the texts are the encoder's.
template <class Enum>
bool read_enumeration(Reader& r, dom::element e, Enum& out, std::initializer_list<Enum> values) {
  std::string_view text;
  if (e.get_string().get(text)) return r.fail("expected a string");
  for (const Enum value : values) {
    if (text == to_text(value)) {
      out = value;
      return true;
    }
  }
  return r.fail("unknown value " + quoted_excerpt(text));
}

bool read(Reader& r, dom::element e, CertificateStatus& out) {
  return read_enumeration(r, e, out, {CertificateStatus::complete, CertificateStatus::incomplete});
}
bool read(Reader& r, dom::element e, CheckStatus& out) {
  return read_enumeration(r, e, out,
                          {CheckStatus::passed, CheckStatus::failed, CheckStatus::skipped});
}
bool read(Reader& r, dom::element e, ChainIntegrity& out) {
  return read_enumeration(
      r, e, out, {ChainIntegrity::verified, ChainIntegrity::unverified, ChainIntegrity::empty});
}
bool read(Reader& r, dom::element e, AttestationKind& out) {
  return read_enumeration(r, e, out,
                          {AttestationKind::unsigned_, AttestationKind::ephemeral,
                           AttestationKind::operator_, AttestationKind::sigstore_rekor});
}

template <DescribedRecord Record>
bool read(Reader& r, dom::element e, Record& out) {
  Fields fields(r, e, member_keys<Record>());
  if (fields.ok()) describe(out, fields);
  return fields.ok();
}

// A later version may have keys this reader does not know; it is refused as unsupported
// before any key is judged.
bool check_version(Reader& r, dom::element root) {
  std::string_view version;
  if (root["certificateVersion"].get_string().get(version) || version == kCurrentCertificateVersion)
    return true;
  const Within within = member(r, "certificateVersion");
  return r.fail("unsupported version " + quoted_excerpt(version) + " (this verifier reads " +
                std::string(kCurrentCertificateVersion) + ")");
}

std::string parse_error_text(simdjson::error_code code) {
  switch (code) {
    case simdjson::DEPTH_ERROR:
      return "nested deeper than " + std::to_string(kMaxCertificateDepth) + " levels";
    case simdjson::UTF8_ERROR:
      return "not valid UTF-8";
    case simdjson::STRING_ERROR:
      return "a string with a bad escape or a lone surrogate";
    case simdjson::UNESCAPED_CHARS:
      return "a control character unescaped in a string";
    case simdjson::NUMBER_ERROR:
      return "a number that is malformed or out of range";
    case simdjson::EMPTY:
      return "empty";
    default:
      return std::string("not JSON: ") + simdjson::error_message(code);
  }
}

// Reads the certificate in `text`; `owner`, when given, holds the text and is released as soon
// as the parser has taken what it needs from it.
std::expected<GovernanceCertificate, Error> parse_and_read(simdjson::padded_string_view text,
                                                           simdjson::padded_string* owner) {
  if (text.starts_with("\xEF\xBB\xBF"))
    return std::unexpected(Error{"certificate: a byte-order mark is not allowed"});
  const std::size_t values = count_separators(text);
  if (values > max_certificate_values(text.size()))
    return std::unexpected(Error{"certificate: " + std::to_string(values) + " values in " +
                                 std::to_string(text.size()) +
                                 " bytes, more than a certificate of that size holds (at most " +
                                 std::to_string(max_certificate_values(text.size())) + ")"});
  dom::parser parser;
  if (parser.allocate(std::max<std::size_t>(text.size(), 64), kMaxCertificateDepth))
    throw std::bad_alloc();
  dom::element root;
  if (const auto code = parser.parse(text.data(), text.size(), false).get(root)) {
    // Running out of memory says nothing of the certificate: it is not reported as malformed.
    if (code == simdjson::MEMALLOC) throw std::bad_alloc();
    return std::unexpected(Error{"certificate: " + parse_error_text(code)});
  }
  // The parsed document holds its own copy of every string: the text is not read again.
  if (owner) *owner = simdjson::padded_string();
  Reader reader;
  GovernanceCertificate certificate;
  if (!check_version(reader, root) || !read(reader, root, certificate))
    return std::unexpected(Error{reader.take_failure()});
  return certificate;
}

}  // namespace

std::size_t max_certificate_values(std::size_t size) {
  return (2 * size + (std::size_t{64} << 20)) / 112;
}

bool within_value_bound(std::string_view text) {
  return count_separators(text) <= max_certificate_values(text.size());
}

std::expected<GovernanceCertificate, Error> read_certificate(simdjson::padded_string_view text) {
  return parse_and_read(text, nullptr);
}

std::expected<GovernanceCertificate, Error> read_certificate_releasing(
    simdjson::padded_string&& text) {
  const simdjson::padded_string_view view(text);
  return parse_and_read(view, &text);
}

std::expected<GovernanceCertificate, Error> read_certificate(std::string_view text) {
  const simdjson::padded_string padded(text);
  return read_certificate(simdjson::padded_string_view(padded));
}

}  // namespace certwright
