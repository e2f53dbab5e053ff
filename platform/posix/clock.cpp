#include "platform/clock.h"

#include <ctime>
#include <limits>

namespace quayside::platform {

std::int32_t localSecondOfDay() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) {
    return 0;
  }
  // A leap second reads as the last second of its minute.
  const int second = local.tm_sec < 60 ? local.tm_sec : 59;
  return static_cast<std::int32_t>(local.tm_hour * 3600 + local.tm_min * 60 + second);
}

std::optional<CalendarTime> localCalendarTime(std::int64_t unixSeconds) {
  if (unixSeconds < 0 || unixSeconds > std::numeric_limits<std::time_t>::max()) {
    return std::nullopt;
  }
  const auto at = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  if (localtime_r(&at, &local) == nullptr || local.tm_year > 1'000'000) {
    return std::nullopt;
  }
  return CalendarTime{static_cast<std::int32_t>(local.tm_year + 1900),
                      static_cast<std::uint8_t>(local.tm_mon + 1),
                      static_cast<std::uint8_t>(local.tm_mday),
                      static_cast<std::uint8_t>(local.tm_hour),
                      static_cast<std::uint8_t>(local.tm_min),
                      static_cast<std::uint8_t>(local.tm_sec < 60 ? local.tm_sec : 59)};
}

}  // namespace quayside::platform
