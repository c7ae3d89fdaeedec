// The one JSON writer: compact or two-space pretty layout, byte for byte.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/json_value.h"

namespace certwright {

enum class Layout { compact, pretty };

// How strings are escaped: as the certificate's encoding prescribes, byte for byte, or for
// showing to a reader, where the characters that can disguise text (text.h's
// is_concealing_character) are also written as "\uXXXX" escapes.
enum class StringEscapes { certificate, display };

// Appends JSON tokens to a caller-owned string. The caller writes a well-formed sequence
// (key before each member value, balanced begin/end); the writer owns whitespace and escaping.
class JsonWriter {
 public:
  JsonWriter(Layout layout, std::string& out, StringEscapes escapes = StringEscapes::certificate);

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // Starts an object member; the next call writes its value.
  void key(std::string_view name);

  void string(std::string_view text);
  // A string whose text is the padded Base64 of `bytes`, encoded straight into the output (its
  // alphabet needs no escaping): a 12 MB payload's 16 MB encoding is held once, not twice.
  void base64_string(std::span<const unsigned char> bytes);
  void boolean(bool value);
  void null();
  void unsigned_integer(std::uint64_t value);
  void signed_integer(std::int64_t value);
  // Shortest round-trip digits, plain or scientific notation; non-finite values as null.
  void floating(double value);
  void value(const JsonValue& value);

  // Bytes in the output so far.
  std::size_t size() const { return out_.size(); }

 private:
  void before_value();
  void open(char bracket);
  void close(char bracket);

  Layout layout_;
  std::string& out_;
  StringEscapes escapes_;
  // One entry per open container: whether it has a member yet.
  std::vector<bool> has_members_;
  bool after_key_ = false;
};

// Appends `text` as a JSON string literal with the certificate's escaping rules.
void append_json_string(std::string& out, std::string_view text);
// The same, with the characters that can disguise text also escaped as "\uXXXX".
void append_json_display_string(std::string& out, std::string_view text);
// Appends the certificate's text for a double (100.0, 1e+16, 0.00001, 1e-6, null for NaN).
void append_json_double(std::string& out, double value);

}  // namespace certwright
