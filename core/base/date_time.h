// UTC instants and their certificate text form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace certwright {

// A UTC instant. `nanos` of one second or more marks a leap second (written with seconds "60").
struct UtcTime {
  std::int64_t unix_seconds = 0;
  std::uint32_t nanos = 0;

  friend bool operator==(const UtcTime&, const UtcTime&) = default;
};

// "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]Z": no fraction for whole seconds, otherwise the
// shortest of 3, 6 or 9 digits that holds the nanoseconds exactly.
std::string format_date_time(UtcTime time);

// The instant that `text` names when it is exactly what format_date_time writes for it (four-digit
// year, the shortest exact fraction) and a real calendar date and time; a leap second, 23:59:60,
// is allowed. None otherwise.
std::optional<UtcTime> parse_date_time(std::string_view text);

// The instant that a time a person writes names: an RFC 3339 date-time ("2026-12-01T08:00:00Z",
// a fraction of 1 to 9 digits, "Z" or an offset "+01:00"), or the compact form
// "YYYYMMDD[HHMM[SS]]Z" that ssh-keygen's key windows use (the "Z" required). None for anything
// else, and for dates and times that do not exist (leap seconds included).
std::optional<UtcTime> parse_time_text(std::string_view text);

// The current time at the clock's full resolution.
UtcTime utc_now();

}  // namespace certwright
