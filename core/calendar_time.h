#pragma once

#include <cstdint>
#include <string>

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

}  // namespace quayside
