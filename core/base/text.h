// UTF-8 helpers: validation, lossy conversion for display, Unicode white-space trimming.
#pragma once

#include <string>
#include <string_view>

namespace certwright {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `bytes` as UTF-8 text, each maximal ill-formed subsequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// Whether a character that is not a C0 control is still shown escaped wherever text is shown:
// C1 controls, U+2028/U+2029, and the format characters that reorder or hide text (U+061C,
// U+200B-U+200F, U+202A-U+202E, U+2060-U+2064, U+2066-U+2069, U+FEFF), so that a name such as
// "invoice<U+202E>fdp.sh" cannot pass for another.
bool is_concealing_character(char32_t c);

// One character of UTF-8 text: the code point (valid only when `valid`) and the bytes taken,
// the sequence or its maximal ill-formed subpart.
struct Utf8Character {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

// The character that starts at `text[at]`; `at` must be inside `text`.
Utf8Character decode_utf8_at(std::string_view text, std::size_t at);

// `bytes` as one line of UTF-8 text for a message: ill-formed sequences become U+FFFD, and
// characters that could break the line, drive a terminal or disguise text are shown escaped:
// "\n", "\r", "\t", other C0 controls and DEL as "\xHH", the characters that
// is_concealing_character names as "\u{HHHH}".
std::string single_line(std::string_view bytes);

// `bytes` as a message quotes a name or value it did not write: in double quotes, shown as
// single_line shows it, and cut after its first 80 bytes ("...").
std::string quoted_excerpt(std::string_view bytes);

// `text` without leading and trailing characters that have the Unicode White_Space property.
// Ill-formed bytes are never white space and stop the trim.
std::string_view trim_white_space(std::string_view text);

// `base` joined with `name` by one "/" (none added when `base` is empty or already ends in "/").
std::string join_path(std::string_view base, std::string_view name);

}  // namespace certwright
