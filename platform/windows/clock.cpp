#include "platform/clock.h"

#include "platform/windows/win32.h"

namespace quayside::platform {

std::int32_t localSecondOfDay() {
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  return static_cast<std::int32_t>(local.wHour * 3600 + local.wMinute * 60 + local.wSecond);
}

}  // namespace quayside::platform
