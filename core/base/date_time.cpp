#include "core/base/date_time.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>

namespace certwright {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Proleptic Gregorian date of a day count from 1970-01-01 (days-from-civil inverted over
// 400-year eras, so it is exact for every int64 day count the seconds can produce).
CivilDate civil_from_days(std::int64_t days) {
  const std::int64_t shifted = days + 719468;  // days since 0000-03-01
  const std::int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  const std::int64_t day_of_era = shifted - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t month_from_march = (5 * day_of_year + 2) / 153;
  const auto day = static_cast<unsigned>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  const auto month =
      static_cast<unsigned>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

// Day count from 1970-01-01 of a proleptic Gregorian date; the inverse of civil_from_days.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

unsigned days_in_month(std::int64_t year, unsigned month) {
  static constexpr std::array<unsigned, 12> kDays = {31, 28, 31, 30, 31, 30,
                                                     31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// The decimal number in text[at, at + width), or none when a character there is not a digit.
std::optional<std::uint32_t> digits_at(std::string_view text, std::size_t at, std::size_t width) {
  if (at + width > text.size()) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
  }
  return value;
}

// The fields of "YYYY-MM-DDTHH:MM:SS" at the start of `text`, when it has that shape; their
// ranges are the callers' to check.
struct DateTimeFields {
  std::uint32_t year, month, day, hour, minute, second;
};
constexpr std::string_view kDateTimeShape = "dddd-dd-ddTdd:dd:dd";

std::optional<DateTimeFields> date_time_fields(std::string_view text) {
  if (text.size() < kDateTimeShape.size()) return std::nullopt;
  for (std::size_t i = 0; i < kDateTimeShape.size(); ++i)
    if (kDateTimeShape[i] != 'd' && text[i] != kDateTimeShape[i]) return std::nullopt;
  const auto year = digits_at(text, 0, 4);
  const auto month = digits_at(text, 5, 2);
  const auto day = digits_at(text, 8, 2);
  const auto hour = digits_at(text, 11, 2);
  const auto minute = digits_at(text, 14, 2);
  const auto second = digits_at(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  return DateTimeFields{*year, *month, *day, *hour, *minute, *second};
}

// Appends `value` as exactly `width` decimal digits, zero-padded on the left.
void append_padded(std::string& out, std::uint64_t value, int width) {
  std::array<char, 24> digits{};
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(digits.data(), width);
}

// Four digits for years 0000..9999; outside that range a sign and at least four digits, the
// expanded form that keeps far-off instants unambiguous.
void append_year(std::string& out, std::int64_t year) {
  if (year >= 0 && year <= 9999) {
    append_padded(out, static_cast<std::uint64_t>(year), 4);
    return;
  }
  out.push_back(year < 0 ? '-' : '+');
  const std::uint64_t magnitude =
      year < 0 ? 0 - static_cast<std::uint64_t>(year) : static_cast<std::uint64_t>(year);
  std::array<char, 24> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), magnitude);
  const auto length = static_cast<int>(result.ptr - digits.data());
  if (length < 4) out.append(static_cast<std::size_t>(4 - length), '0');
  out.append(digits.data(), result.ptr);
}

// The fraction: none for whole seconds, else the shortest of 3, 6 or 9 digits that is exact.
void append_fraction(std::string& out, std::uint32_t nanos) {
  if (nanos == 0) return;
  out.push_back('.');
  if (nanos % 1'000'000 == 0)
    append_padded(out, nanos / 1'000'000, 3);
  else if (nanos % 1'000 == 0)
    append_padded(out, nanos / 1'000, 6);
  else
    append_padded(out, nanos, 9);
}

}  // namespace

std::string format_date_time(UtcTime time) {
  std::int64_t days = time.unix_seconds / kSecondsPerDay;
  std::int64_t second_of_day = time.unix_seconds % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --days;
  }
  const bool leap_second = time.nanos >= kNanosPerSecond;
  // A nanosecond count of two seconds or more cannot come from a clock; keep the text well
  // formed rather than print a ten-digit fraction.
  const std::uint32_t nanos =
      leap_second ? std::min(time.nanos - kNanosPerSecond, kNanosPerSecond - 1) : time.nanos;
  const CivilDate date = civil_from_days(days);

  std::string text;
  text.reserve(40);
  append_year(text, date.year);
  text.push_back('-');
  append_padded(text, date.month, 2);
  text.push_back('-');
  append_padded(text, date.day, 2);
  text.push_back('T');
  append_padded(text, static_cast<std::uint64_t>(second_of_day / 3600), 2);
  text.push_back(':');
  append_padded(text, static_cast<std::uint64_t>(second_of_day / 60 % 60), 2);
  text.push_back(':');
  append_padded(text, leap_second ? 60 : static_cast<std::uint64_t>(second_of_day % 60), 2);
  append_fraction(text, nanos);
  text.push_back('Z');
  return text;
}

std::optional<UtcTime> parse_date_time(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS, then an optional fraction, then Z.
  constexpr std::string_view kShape = kDateTimeShape;
  if (text.size() < kShape.size() + 1 || text.back() != 'Z') return std::nullopt;
  const auto fields = date_time_fields(text);
  if (!fields) return std::nullopt;
  const auto [year, month, day, hour, minute, second] = *fields;
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59)
    return std::nullopt;
  const bool leap_second = second == 60 && hour == 23 && minute == 59;
  if (second > 59 && !leap_second) return std::nullopt;

  std::uint32_t nanos = 0;
  const std::size_t fraction_width = text.size() - kShape.size() - 1;
  if (fraction_width != 0) {
    if (text[kShape.size()] != '.') return std::nullopt;
    const std::size_t width = fraction_width - 1;
    const auto fraction = digits_at(text, kShape.size() + 1, width);
    if ((width != 3 && width != 6 && width != 9) || !fraction) return std::nullopt;
    nanos = *fraction;
    for (std::size_t i = width; i < 9; ++i)
      nanos *= 10;
  }
  const UtcTime time{days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 +
                         minute * 60 + (leap_second ? 59 : second),
                     leap_second ? nanos + kNanosPerSecond : nanos};
  // The width of the fraction must be the one the certificate writes for these nanoseconds.
  if (format_date_time(time) != text) return std::nullopt;
  return time;
}

namespace {

// Seconds since the epoch of a calendar date and time, or none when it does not exist.
std::optional<std::int64_t> civil_seconds(std::uint32_t year, std::uint32_t month,
                                          std::uint32_t day, std::uint32_t hour,
                                          std::uint32_t minute, std::uint32_t second) {
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 ||
      minute > 59 || second > 59)
    return std::nullopt;
  return days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

std::optional<UtcTime> parse_compact_time(std::string_view text) {
  if (text.size() < 2 || text.back() != 'Z') return std::nullopt;
  const std::size_t width = text.size() - 1;
  if (width != 8 && width != 12 && width != 14) return std::nullopt;
  const auto date = digits_at(text, 0, 8);
  constexpr std::optional<std::uint32_t> kZero = 0;
  const auto hour = width >= 12 ? digits_at(text, 8, 2) : kZero;
  const auto minute = width >= 12 ? digits_at(text, 10, 2) : kZero;
  const auto second = width == 14 ? digits_at(text, 12, 2) : kZero;
  if (!date || !hour || !minute || !second) return std::nullopt;
  const auto seconds =
      civil_seconds(*date / 10000, *date / 100 % 100, *date % 100, *hour, *minute, *second);
  if (!seconds) return std::nullopt;
  return UtcTime{*seconds, 0};
}

std::optional<UtcTime> parse_rfc3339_time(std::string_view text) {
  const auto fields = date_time_fields(text);
  if (!fields || text.size() == kDateTimeShape.size()) return std::nullopt;
  auto seconds = civil_seconds(fields->year, fields->month, fields->day, fields->hour,
                               fields->minute, fields->second);
  if (!seconds) return std::nullopt;

  std::size_t at = kDateTimeShape.size();
  std::uint32_t nanos = 0;
  if (text[at] == '.') {
    std::size_t width = 0;
    while (at + 1 + width < text.size() && text[at + 1 + width] >= '0' &&
           text[at + 1 + width] <= '9')
      ++width;
    if (width < 1 || width > 9) return std::nullopt;
    nanos = *digits_at(text, at + 1, width);
    for (std::size_t i = width; i < 9; ++i)
      nanos *= 10;
    at += 1 + width;
  }
  const std::string_view zone = text.substr(at);
  if (zone != "Z") {
    // "+HH:MM" or "-HH:MM": the local time is that far ahead of UTC.
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':')
      return std::nullopt;
    const auto offset_hours = digits_at(zone, 1, 2);
    const auto offset_minutes = digits_at(zone, 4, 2);
    if (!offset_hours || !offset_minutes || *offset_hours > 23 || *offset_minutes > 59)
      return std::nullopt;
    const std::int64_t offset = *offset_hours * 3600 + *offset_minutes * 60;
    *seconds += zone[0] == '+' ? -offset : offset;
  }
  return UtcTime{*seconds, nanos};
}

}  // namespace

std::optional<UtcTime> parse_time_text(std::string_view text) {
  if (text.find('-') == 4) return parse_rfc3339_time(text);
  return parse_compact_time(text);
}

UtcTime utc_now() {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) == 0)
    return {static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
  // CLOCK_REALTIME is always supported on Linux; this fallback only keeps the call total.
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds);
  return {seconds.count(), static_cast<std::uint32_t>(nanos.count())};
}

}  // namespace certwright
