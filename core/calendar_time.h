#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quayside {

// A moment as a calendar and a clock on the wall show it.
struct CalendarTime {
  std::int32_t year = 0;
  std::uint8_t month = 0;   // 1 to 12
  std::uint8_t day = 0;     // 1 to 31
  std::uint8_t hour = 0;    // 0 to 23
  std::uint8_t minute = 0;  // 0 to 59
  std::uint8_t second = 0;  // 0 to 59 (a leap second reads as 59)
};

// "2026-12-08 18:02:11" (`seconds`) or "2026-12-08 18:02".
std::string dateTimeText(const CalendarTime& time, bool seconds = true);

// The Unix time of an IRCv3 server-time tag value,
// "2026-12-08T18:03:11.250Z" (UTC; the fraction optional, and dropped):
// nothing for any other text or an impossible date.
std::optional<std::int64_t> parseServerTime(std::string_view text);

// When a line said at `at` was said, as its reader sees it at `now` (both
// local): "18:03" on the same day, else "2026-12-07 18:03".
std::string sayingTimeText(const CalendarTime& at, const CalendarTime& now);

}  // namespace quayside
