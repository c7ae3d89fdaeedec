#include "core/evidence/yaml_json.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>

namespace certwright {
namespace {

// A text that is of the type: its value; a text that is not: none; a text that is of the type
// but cannot be held (a number beyond 64 bits): the error.
using Match = std::expected<std::optional<JsonValue>, std::string>;

bool is_digit_of(char c, int base) {
  if (base == 8) return c >= '0' && c <= '7';
  if (base == 16) return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  return c >= '0' && c <= '9';
}

bool all_digits(std::string_view text, int base) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [base](char c) { return is_digit_of(c, base); });
}

std::size_t count_digits(std::string_view text, std::size_t at) {
  std::size_t count = 0;
  while (at + count < text.size() && is_digit_of(text[at + count], 10))
    ++count;
  return count;
}

bool is_null_text(std::string_view text) {
  return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

Match boolean_value(std::string_view text) {
  if (text == "true" || text == "True" || text == "TRUE") return JsonValue{true};
  if (text == "false" || text == "False" || text == "FALSE") return JsonValue{false};
  return std::nullopt;
}

// [-+]?[0-9]+, 0o[0-7]+ or 0x[0-9a-fA-F]+.
Match integer_value(std::string_view text) {
  int base = 10;
  bool negative = false;
  std::string_view digits = text;
  if (text.starts_with("0o") || text.starts_with("0x")) {
    base = text[1] == 'o' ? 8 : 16;
    digits.remove_prefix(2);
  } else if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    digits.remove_prefix(1);
  }
  if (!all_digits(digits, base)) return std::nullopt;
  std::uint64_t magnitude = 0;
  const auto parsed =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;
  if (parsed.ec != std::errc() || (negative && magnitude > kMostNegative))
    return std::unexpected("integer does not fit in 64 bits");
  if (!negative || magnitude == 0) return JsonValue{magnitude};
  // -(2^63) has no positive counterpart in int64_t; negate in unsigned arithmetic.
  return JsonValue{static_cast<std::int64_t>(~magnitude + 1)};
}

// [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
bool is_decimal_float(std::string_view text) {
  std::size_t at = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  const std::size_t whole = count_digits(text, at);
  at += whole;
  std::size_t fraction = 0;
  const bool has_point = at < text.size() && text[at] == '.';
  if (has_point) {
    fraction = count_digits(text, ++at);
    at += fraction;
  }
  if (whole == 0 && fraction == 0) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    const std::size_t exponent = count_digits(text, at);
    if (exponent == 0) return false;
    at += exponent;
  }
  return at == text.size();
}

// For a decimal float outside the range of a double: whether it is too small rather than too
// large, that is whether its first significant digit stands after the decimal point once the
// exponent is applied. (A double holds every value from about 4.9e-324 to 1.8e308, so the power
// of ten of that digit tells the two apart.)
bool underflows(std::string_view text) {
  if (text.starts_with('-') || text.starts_with('+')) text.remove_prefix(1);
  const std::size_t exponent_at = text.find_first_of("eE");
  const std::string_view mantissa = text.substr(0, exponent_at);
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return true;  // zero digits; a zero never overflows
  // The power of ten of the first significant digit, before the exponent.
  long long power = first < point ? static_cast<long long>(point - first) - 1
                                  : -static_cast<long long>(first - point);
  if (exponent_at != std::string_view::npos) {
    std::string_view digits = text.substr(exponent_at + 1);
    const bool negative = digits.starts_with('-');
    if (digits.starts_with('-') || digits.starts_with('+')) digits.remove_prefix(1);
    long long exponent = 0;
    for (const char digit : digits)  // saturates: any larger exponent decides the same way
      exponent = std::min(exponent * 10 + (digit - '0'), 1'000'000'000'000LL);
    power += negative ? -exponent : exponent;
  }
  return power < 0;
}

// Decimal floats, [-+]?.inf in three spellings, and .nan in three spellings. A float too small
// for a double is the zero of its sign, as every YAML and JSON reader makes it; one too large
// cannot be carried.
Match float_value(std::string_view text) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  std::string_view unsigned_text = text;
  const bool negative = text.starts_with('-');
  if (text.starts_with('-') || text.starts_with('+')) unsigned_text.remove_prefix(1);
  if (unsigned_text == ".inf" || unsigned_text == ".Inf" || unsigned_text == ".INF")
    return JsonValue{negative ? -kInfinity : kInfinity};
  if (text == ".nan" || text == ".NaN" || text == ".NAN")
    return JsonValue{std::numeric_limits<double>::quiet_NaN()};
  if (!is_decimal_float(text)) return std::nullopt;
  // from_chars takes no leading "+".
  const std::string_view number = text.starts_with('+') ? unsigned_text : text;
  double value = 0;
  const auto parsed = std::from_chars(number.data(), number.data() + number.size(), value);
  if (parsed.ec == std::errc::result_out_of_range && underflows(text))
    return JsonValue{negative ? -0.0 : 0.0};
  if (parsed.ec != std::errc()) return std::unexpected("number out of the range of a double");
  return JsonValue{value};
}

// The core schema's resolution of an untagged plain scalar.
std::expected<JsonValue, std::string> plain_value(std::string_view text) {
  if (is_null_text(text)) return JsonValue{};
  for (const auto match : {boolean_value, integer_value, float_value}) {
    auto value = match(text);
    if (!value) return std::unexpected(value.error());
    if (*value) return std::move(**value);
  }
  return JsonValue{std::string(text)};
}

// The scalar's value under a standard scalar tag, none for any other tag.
std::optional<Match> tagged_value(std::string_view tag_name, std::string_view text) {
  if (tag_name == "str") return Match(JsonValue{std::string(text)});
  if (tag_name == "null") return is_null_text(text) ? Match(JsonValue{}) : Match(std::nullopt);
  if (tag_name == "bool") return boolean_value(text);
  if (tag_name == "int") return integer_value(text);
  if (tag_name == "float") {
    // A float tag also takes integer digits: "!!float 3" is 3.0.
    return float_value(text);
  }
  return std::nullopt;
}

std::expected<JsonValue, std::string> sequence_value(const YamlDocument& document,
                                                     const YamlNode& sequence) {
  JsonArray array;
  array.reserve(sequence.items.size());
  for (const YamlNodeId item : sequence.items) {
    auto value = to_json_value(document, item);
    if (!value) return value;
    array.push_back(std::move(*value));
  }
  return std::expected<JsonValue, std::string>(std::in_place, std::move(array));
}

std::expected<JsonValue, std::string> mapping_value(const YamlDocument& document,
                                                    const YamlNode& mapping) {
  JsonObject object;
  for (const auto& [key_id, value_id] : mapping.entries) {
    const YamlNode& key = document.node(key_id);
    if (key.kind != YamlNodeKind::scalar) {
      const char* what = key.kind == YamlNodeKind::mapping ? "a mapping" : "a sequence";
      return std::unexpected(std::string(what) + " used as a mapping key" + position_of(key));
    }
    auto value = to_json_value(document, value_id);
    if (!value) return value;
    object.insert_or_assign(key.text, std::move(*value));
  }
  return std::expected<JsonValue, std::string>(std::in_place, std::move(object));
}

}  // namespace

std::expected<JsonValue, std::string> scalar_value(const YamlNode& scalar) {
  if (scalar.plain) {
    auto value = plain_value(scalar.text);
    if (!value) return std::unexpected(value.error() + position_of(scalar));
    return value;
  }
  const std::string_view tag_name = core_tag_name(scalar.tag);
  std::optional<Match> tagged = tagged_value(tag_name, scalar.text);
  if (!tagged)  // quoted or block without a tag, "!", or a tag of no standard type
    return JsonValue{scalar.text};
  if (!*tagged) return std::unexpected(tagged->error() + position_of(scalar));
  if (!**tagged)  // the scalar's text is not shown: it may be a secret
    return std::unexpected("not a valid !!" + std::string(tag_name) + " value" +
                           position_of(scalar));
  return std::move(***tagged);
}

// Recursion is safe here: the parser refuses documents nested deeper than kMaxYamlDepth,
// aliases included, and the nodes aliases add are capped by kMaxYamlAliasNodes.
std::expected<JsonValue, std::string> to_json_value(const YamlDocument& document, YamlNodeId id) {
  const YamlNode& node = document.node(id);
  switch (node.kind) {
    case YamlNodeKind::scalar:
      return scalar_value(node);
    case YamlNodeKind::sequence:
      return sequence_value(document, node);
    case YamlNodeKind::mapping:
      return mapping_value(document, node);
  }
  return JsonValue{};
}

}  // namespace certwright
