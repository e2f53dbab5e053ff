#pragma once

#include "core/calendar_time.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace quayside {

// The user's local date and time of a Unix time (seconds since 1970 UTC), or
// nothing when it cannot be told. The translations read no clock and no time
// zone: the relay passes the system's, tests a fixed one.
using LocalTimeSource = std::function<std::optional<CalendarTime>(std::int64_t unixSeconds)>;
// The Unix time now, for how old a line the server plays back is; read only
// for lines that carry a time.
using UnixClock = std::function<std::int64_t()>;

}  // namespace quayside
