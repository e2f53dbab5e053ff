#include "platform/clock.h"

#include <ctime>

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

}  // namespace quayside::platform
