// The line format shared by the files that name trusted and revoked keys: fields separated by
// spaces or tabs, a field holding white space written in double quotes, blank lines and lines
// starting with "#" ignored; and the validity window a key line may end with.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/date_time.h"

namespace certwright {

// The fields of one line, or why they cannot be read ("a quoted field is not closed", ...).
std::expected<std::vector<std::string>, std::string> split_key_line(std::string_view line);

// Calls `read` with the number (from 1) and the fields of each line of `text` that is not blank
// or a comment; the first error, from the split or from `read`, comes back as
// "line N: <error>".
std::expected<void, std::string> read_key_lines(
    std::string_view text,
    const std::function<std::expected<void, std::string>(std::vector<std::string>& fields)>& read);

// When a key may be trusted: from `valid_after` to `valid_before`, each bound inclusive,
// either open.
struct KeyWindow {
  std::optional<UtcTime> valid_after;
  std::optional<UtcTime> valid_before;

  bool contains(UtcTime time) const;
  bool bounded() const { return valid_after || valid_before; }
  // "valid after 2026-01-01T00:00:00Z and before 2027-01-01T00:00:00Z", "valid before ...".
  std::string describe() const;
};

// Takes the trailing "valid-after=TIME" and "valid-before=TIME" fields (each at most once; TIME
// as parse_time_text reads it) off `fields` into a window, or the error naming the fault.
std::expected<KeyWindow, std::string> take_key_window(std::vector<std::string>& fields);

// Whether `earlier` lies before `later`.
bool is_before(UtcTime earlier, UtcTime later);

}  // namespace certwright
