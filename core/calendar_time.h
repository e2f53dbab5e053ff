#pragma once

#include <cstdint>

namespace quayside {

// A moment as a calendar and a clock on the wall show it, to the minute.
struct CalendarTime {
  std::int32_t year = 0;
  std::uint8_t month = 0;   // 1 to 12
  std::uint8_t day = 0;     // 1 to 31
  std::uint8_t hour = 0;    // 0 to 23
  std::uint8_t minute = 0;  // 0 to 59
};

}  // namespace quayside
