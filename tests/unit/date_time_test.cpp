#include "core/base/date_time.h"

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string_view>

namespace certwright {
namespace {

TEST(DateTime, FormatsUtcWithTheShortestExactFraction) {
  constexpr std::int64_t kMorning = 1767605400;  // 2026-01-05T09:30:00Z
  struct Case {
    UtcTime time;
    std::string_view text;
  };
  const Case cases[] = {
      {{0, 0}, "1970-01-01T00:00:00Z"},
      {{kMorning, 0}, "2026-01-05T09:30:00Z"},
      {{kMorning, 500'000'000}, "2026-01-05T09:30:00.500Z"},
      {{kMorning, 120'000'000}, "2026-01-05T09:30:00.120Z"},
      {{kMorning, 1'000'000}, "2026-01-05T09:30:00.001Z"},
      {{kMorning, 123'456'000}, "2026-01-05T09:30:00.123456Z"},
      {{kMorning, 1'000}, "2026-01-05T09:30:00.000001Z"},
      {{kMorning, 123'456'700}, "2026-01-05T09:30:00.123456700Z"},
      {{kMorning, 1}, "2026-01-05T09:30:00.000000001Z"},
      {{kMorning, 999'999'999}, "2026-01-05T09:30:00.999999999Z"},
      // Leap second: the nanoseconds run past one second on the last second of the day.
      {{1483228799, 1'000'000'000}, "2016-12-31T23:59:60Z"},
      {{1483228799, 1'500'000'000}, "2016-12-31T23:59:60.500Z"},
      {{951825600, 0}, "2000-02-29T12:00:00Z"},
      {{-1, 0}, "1969-12-31T23:59:59Z"},
      {{253402300799, 0}, "9999-12-31T23:59:59Z"},
      {{-62135596800, 0}, "0001-01-01T00:00:00Z"},
      {{-62167219200, 0}, "0000-01-01T00:00:00Z"},
      // Years beyond four digits keep a sign, as ISO 8601's expanded form does.
      {{253402300800, 0}, "+10000-01-01T00:00:00Z"},
      {{-62167219201, 0}, "-0001-12-31T23:59:59Z"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(format_date_time(c.time), c.text) << c.text;
}

TEST(DateTime, ReadsTheTimesPeopleWrite) {
  constexpr std::int64_t kMorning = 1767605400;  // 2026-01-05T09:30:00Z
  struct Case {
    std::string_view text;
    std::optional<UtcTime> time;
  };
  const Case cases[] = {
      {"2026-01-05T09:30:00Z", UtcTime{kMorning, 0}},
      {"2026-01-05T09:30:00.5Z", UtcTime{kMorning, 500'000'000}},
      {"2026-01-05T09:30:00.000000001Z", UtcTime{kMorning, 1}},
      {"2026-01-05T10:30:00+01:00", UtcTime{kMorning, 0}},
      {"2026-01-05T04:00:00-05:30", UtcTime{kMorning, 0}},
      {"20260105Z", UtcTime{kMorning - 9 * 3600 - 1800, 0}},
      {"202601050930Z", UtcTime{kMorning, 0}},
      {"20260105093000Z", UtcTime{kMorning, 0}},
      {"20260105", std::nullopt},             // the compact form needs its Z
      {"2026010509Z", std::nullopt},          // hours without minutes
      {"20260230Z", std::nullopt},            // no such day
      {"2026-01-05T09:30:00", std::nullopt},  // no zone
      {"2026-01-05 09:30:00Z", std::nullopt},
      {"2026-01-05T09:30:00.Z", std::nullopt},
      {"2026-01-05T09:30:00.1234567890Z", std::nullopt},
      {"2026-01-05T09:30:60Z", std::nullopt},
      {"2026-01-05T09:30:00+1:00", std::nullopt},
      {"2026-01-05T09:30:00Zjunk", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(parse_time_text(c.text), c.time) << c.text;
}

// Bounds read from the same clock: std::time may read a coarser one that lags it by a tick, so
// near a second's turn it could say a second less than the instant just taken.
std::int64_t realtime_seconds() {
  std::timespec now{};
  std::timespec_get(&now, TIME_UTC);
  return now.tv_sec;
}

TEST(DateTime, NowReadsTheRealTimeClock) {
  const std::int64_t before = realtime_seconds();
  const UtcTime now = utc_now();
  EXPECT_GE(now.unix_seconds, before);
  EXPECT_LE(now.unix_seconds, realtime_seconds());
  EXPECT_LT(now.nanos, 1'000'000'000u);
}

}  // namespace
}  // namespace certwright
