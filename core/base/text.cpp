#include "core/base/text.h"

#include <cstdint>

namespace certwright {
namespace {

using Decoded = Utf8Character;

// Decodes the sequence at `text[at]` by the well-formed byte table of Unicode (Table 3-7).
Decoded decode_at(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  if (lead < 0x80) return {lead, 1, true};

  std::size_t needed = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // range of the second byte
  char32_t code_point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1, code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2, code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3, code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, 1, false};
  }

  std::size_t length = 1;
  for (std::size_t i = 0; i < needed; ++i) {
    if (at + length >= text.size()) return {0, length, false};
    const std::uint8_t next = byte(at + length);
    const std::uint8_t lo = i == 0 ? low : 0x80;
    const std::uint8_t hi = i == 0 ? high : 0xBF;
    if (next < lo || next > hi) return {0, length, false};
    code_point = (code_point << 6) | (next & 0x3F);
    ++length;
  }
  return {code_point, length, true};
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    if (static_cast<std::uint8_t>(bytes[at]) < 0x80) {  // ASCII, nearly every name: no decoding
      ++at;
      continue;
    }
    const Decoded decoded = decode_at(bytes, at);
    if (!decoded.valid) return false;
    at += decoded.length;
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const Decoded decoded = decode_at(bytes, at);
    if (decoded.valid) {
      text.append(bytes.substr(at, decoded.length));
    } else {
      text.append("\xEF\xBF\xBD");
    }
    at += decoded.length;
  }
  return text;
}

bool is_concealing_character(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x061C ||
         (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

Utf8Character decode_utf8_at(std::string_view text, std::size_t at) {
  return decode_at(text, at);
}

std::string single_line(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string line;
  line.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const Decoded decoded = decode_at(bytes, at);
    const char32_t c = decoded.code_point;
    if (!decoded.valid) {
      line.append("\xEF\xBF\xBD");
    } else if (c == '\n') {
      line.append("\\n");
    } else if (c == '\r') {
      line.append("\\r");
    } else if (c == '\t') {
      line.append("\\t");
    } else if (c < 0x20 || c == 0x7F) {
      line.append("\\x").push_back(kHex[c >> 4]);
      line.push_back(kHex[c & 0xF]);
    } else if (is_concealing_character(c)) {
      line.append("\\u{");
      for (int shift = 12; shift >= 0; shift -= 4)
        line.push_back(kHex[(c >> shift) & 0xF]);
      line.push_back('}');
    } else {
      line.append(bytes.substr(at, decoded.length));
    }
    at += decoded.length;
  }
  return line;
}

std::string quoted_excerpt(std::string_view bytes) {
  constexpr std::size_t kShown = 80;
  if (bytes.size() <= kShown) return "\"" + single_line(bytes) + "\"";
  return "\"" + single_line(bytes.substr(0, kShown)) + "...\"";
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Decoded decoded = decode_at(text, begin);
    if (!decoded.valid || !is_white_space(decoded.code_point)) break;
    begin += decoded.length;
  }
  // Scan forward, remembering where the last non-white-space character ended.
  std::size_t end = begin;
  for (std::size_t at = begin; at < text.size();) {
    const Decoded decoded = decode_at(text, at);
    at += decoded.length;
    if (!decoded.valid || !is_white_space(decoded.code_point)) end = at;
  }
  return text.substr(begin, end - begin);
}

std::string join_path(std::string_view base, std::string_view name) {
  std::string joined(base);
  if (!joined.empty() && joined.back() != '/') joined.push_back('/');
  joined.append(name);
  return joined;
}

}  // namespace certwright
