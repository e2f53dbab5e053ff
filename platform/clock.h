#pragma once

#include "core/calendar_time.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace quayside::platform {

// The local time of day now, in seconds after midnight (0 to 86,399), in the
// system's time zone.
std::int32_t localSecondOfDay();

// The local date and time of `unixSeconds` (seconds since 1970-01-01 UTC) in
// the system's time zone; nothing for a time the system cannot convert.
std::optional<CalendarTime> localCalendarTime(std::int64_t unixSeconds);

// The Unix time now (seconds since 1970-01-01 UTC). The standard system
// clock counts from that epoch on every system this builds for.
inline std::int64_t unixTime() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace quayside::platform
