#pragma once

#include <cstdint>

namespace quayside::platform {

// The local time of day now, in seconds after midnight (0 to 86,399), in the
// system's time zone.
std::int32_t localSecondOfDay();

}  // namespace quayside::platform
