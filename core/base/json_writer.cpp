#include "core/base/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <variant>

#include "core/base/base64.h"
#include "core/base/text.h"

namespace certwright {
namespace {

// Spaces per nesting level in the pretty layout.
constexpr std::size_t kIndentWidth = 2;

// Escapes for U+0000 to U+001F, indexed by the character. Only the five short forms that the
// certificate format names are used; every other control character is \u00XX, lower-case hex.
constexpr std::array<std::string_view, 32> kControlEscapes = {
    "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
    "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
    "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
    "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
};

// The escape for one byte, or an empty view when the byte is written as it is (the solidus,
// U+007F and every byte of a multi-byte UTF-8 sequence included).
constexpr std::string_view escape_for(unsigned char byte) {
  if (byte < kControlEscapes.size()) return kControlEscapes[byte];
  if (byte == '"') return "\\\"";
  if (byte == '\\') return "\\\\";
  return {};
}

// Whether escape_for gives a byte an escape, as a table.
constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte)
    table[byte] = !escape_for(static_cast<unsigned char>(byte)).empty();
  return table;
}();

// The offset of the first byte of `text` that needs an escape, or its size when none does.
std::size_t first_escape(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && !kNeedsEscape[static_cast<unsigned char>(text[at])])
    ++at;
  return at;
}

// Appends `text` with the certificate's escapes. Runs that need none (hashes, names: nearly
// every string) are appended in one piece.
void append_escaped(std::string& out, std::string_view text) {
  for (;;) {
    const std::size_t at = first_escape(text);
    out.append(text.data(), at);
    if (at == text.size()) return;
    out.append(escape_for(static_cast<unsigned char>(text[at])));
    text.remove_prefix(at + 1);
  }
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
  std::array<char, 24> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), result.ptr);
}

// Shortest round-trip significand digits (no trailing zeros) and the decimal exponent of the
// first digit, for a finite positive double.
struct DecimalForm {
  std::array<char, 24> digits{};
  int count = 0;
  int exponent = 0;
};

DecimalForm shortest_decimal(double magnitude) {
  // The scientific form of the shortest round-trip text is "d[.ddd]e(+|-)XX".
  std::array<char, 40> text{};
  const auto result = std::to_chars(text.data(), text.data() + text.size(), magnitude,
                                    std::chars_format::scientific);
  DecimalForm form;
  const char* cursor = text.data();
  for (; cursor != result.ptr && *cursor != 'e'; ++cursor) {
    if (*cursor != '.') form.digits[form.count++] = *cursor;
  }
  while (form.count > 1 && form.digits[form.count - 1] == '0')
    --form.count;
  ++cursor;  // 'e'
  if (*cursor == '+') ++cursor;
  std::from_chars(cursor, result.ptr, form.exponent);
  return form;
}

void append_plain(std::string& out, const DecimalForm& form) {
  const std::string_view digits(form.digits.data(), form.count);
  const int exponent = form.exponent;
  if (exponent >= form.count - 1) {
    out.append(digits);
    out.append(static_cast<std::size_t>(exponent - form.count + 1), '0');
    out.append(".0");
  } else if (exponent >= 0) {
    const auto point = static_cast<std::size_t>(exponent + 1);
    out.append(digits.substr(0, point));
    out.push_back('.');
    out.append(digits.substr(point));
  } else {
    out.append("0.");
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits);
  }
}

void append_scientific(std::string& out, const DecimalForm& form) {
  out.push_back(form.digits[0]);
  if (form.count > 1) {
    out.push_back('.');
    out.append(form.digits.data() + 1, form.count - 1);
  }
  out.push_back('e');
  out.push_back(form.exponent > 0 ? '+' : '-');
  append_integer(out, form.exponent > 0 ? form.exponent : -form.exponent);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  append_escaped(out, text);
  out.push_back('"');
}

void append_json_display_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // where the text not yet written starts
  for (std::size_t at = 0; at < text.size();) {
    const Utf8Character character = decode_utf8_at(text, at);
    const char32_t c = character.code_point;
    if (character.valid && c >= 0x80 && is_concealing_character(c)) {
      append_escaped(out, text.substr(run, at - run));
      out.append("\\u");
      for (int shift = 12; shift >= 0; shift -= 4)
        out.push_back(kHex[(c >> shift) & 0xF]);
      run = at + character.length;
    }
    at += character.length;
  }
  append_escaped(out, text.substr(run));
  out.push_back('"');
}

void append_json_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  if (std::signbit(value)) out.push_back('-');
  if (value == 0) {
    out.append("0.0");
    return;
  }
  const DecimalForm form = shortest_decimal(std::fabs(value));
  if (form.exponent >= -5 && form.exponent <= 15)
    append_plain(out, form);
  else
    append_scientific(out, form);
}

JsonWriter::JsonWriter(Layout layout, std::string& out, StringEscapes escapes)
    : layout_(layout), out_(out), escapes_(escapes) {}

// Writes what separates this value from the previous one: nothing after a key, otherwise a
// comma after an earlier sibling and, in the pretty layout, a line break and the indentation.
// Keys and array elements both come through here, so the two layouts share one path.
void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (has_members_.empty()) return;
  if (has_members_.back()) out_.push_back(',');
  has_members_.back() = true;
  if (layout_ == Layout::pretty) {
    out_.push_back('\n');
    out_.append(kIndentWidth * has_members_.size(), ' ');
  }
}

void JsonWriter::open(char bracket) {
  before_value();
  out_.push_back(bracket);
  has_members_.push_back(false);
}

void JsonWriter::close(char bracket) {
  const bool had_members = has_members_.back();
  has_members_.pop_back();
  if (had_members && layout_ == Layout::pretty) {
    out_.push_back('\n');
    out_.append(kIndentWidth * has_members_.size(), ' ');
  }
  out_.push_back(bracket);
}

void JsonWriter::begin_object() {
  open('{');
}
void JsonWriter::end_object() {
  close('}');
}
void JsonWriter::begin_array() {
  open('[');
}
void JsonWriter::end_array() {
  close(']');
}

void JsonWriter::key(std::string_view name) {
  before_value();
  if (escapes_ == StringEscapes::display)
    append_json_display_string(out_, name);
  else
    append_json_string(out_, name);
  out_.append(layout_ == Layout::pretty ? ": " : ":");
  after_key_ = true;
}

void JsonWriter::string(std::string_view text) {
  before_value();
  if (escapes_ == StringEscapes::display)
    append_json_display_string(out_, text);
  else
    append_json_string(out_, text);
}

void JsonWriter::base64_string(std::span<const unsigned char> bytes) {
  before_value();
  out_.push_back('"');
  base64_append(out_, bytes);
  out_.push_back('"');
}

void JsonWriter::boolean(bool value) {
  before_value();
  out_.append(value ? "true" : "false");
}

void JsonWriter::null() {
  before_value();
  out_.append("null");
}

void JsonWriter::unsigned_integer(std::uint64_t value) {
  before_value();
  append_integer(out_, value);
}

void JsonWriter::signed_integer(std::int64_t value) {
  before_value();
  append_integer(out_, value);
}

void JsonWriter::floating(double value) {
  before_value();
  append_json_double(out_, value);
}

void JsonWriter::value(const JsonValue& value) {
  const auto& held = value.value;
  if (const auto* array = std::get_if<JsonArray>(&held)) {
    begin_array();
    for (const JsonValue& element : *array)
      this->value(element);
    end_array();
  } else if (const auto* object = std::get_if<JsonObject>(&held)) {
    begin_object();
    for (const auto& [name, member] : *object) {
      key(name);
      this->value(member);
    }
    end_object();
  } else if (const auto* text = std::get_if<std::string>(&held)) {
    string(*text);
  } else if (const auto* flag = std::get_if<bool>(&held)) {
    boolean(*flag);
  } else if (const auto* whole = std::get_if<std::uint64_t>(&held)) {
    unsigned_integer(*whole);
  } else if (const auto* negative = std::get_if<std::int64_t>(&held)) {
    signed_integer(*negative);
  } else if (const auto* real = std::get_if<double>(&held)) {
    floating(*real);
  } else {
    null();
  }
}

}  // namespace certwright
