#pragma once

#include "core/calendar_time.h"

#include <cstdint>
#include <optional>

namespace quayside::platform {

// The local time of day now, in seconds after midnight (0 to 86,399), in the
// system's time zone.
std::int32_t localSecondOfDay();

// The local date and time of `unixSeconds` (seconds since 1970-01-01 UTC) in
// the system's time zone; nothing for a time the system cannot convert.
std::optional<CalendarTime> localCalendarTime(std::int64_t unixSeconds);

}  // namespace quayside::platform
