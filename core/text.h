// UTF-8 helpers: validation, lossy conversion for display, Unicode white-space trimming.
#pragma once

#include <string>
#include <string_view>

namespace certwright {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `bytes` as UTF-8 text, each maximal ill-formed subsequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// `bytes` as one line of UTF-8 text for a message: ill-formed sequences become U+FFFD, and
// characters that could break the line or drive a terminal are shown escaped: "\n", "\r",
// "\t", other C0 controls and DEL as "\xHH", C1 controls and U+2028/U+2029 as "\u{HHHH}".
std::string single_line(std::string_view bytes);

// `text` without leading and trailing characters that have the Unicode White_Space property.
// Ill-formed bytes are never white space and stop the trim.
std::string_view trim_white_space(std::string_view text);

// `base` joined with `name` by one "/" (none added when `base` is empty or already ends in "/").
std::string join_path(std::string_view base, std::string_view name);

}  // namespace certwright
