#include "platform/clock.h"

#include "platform/windows/win32.h"

#include <limits>

namespace quayside::platform {

std::int32_t localSecondOfDay() {
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  return static_cast<std::int32_t>(local.wHour * 3600 + local.wMinute * 60 + local.wSecond);
}

std::optional<CalendarTime> localCalendarTime(std::int64_t unixSeconds) {
  // A FILETIME counts 100 ns steps since 1601-01-01 UTC.
  constexpr std::int64_t kSecondsBefore1970 = 11'644'473'600;
  constexpr std::int64_t kStepsPerSecond = 10'000'000;
  constexpr std::int64_t kLatest =
      std::numeric_limits<std::int64_t>::max() / kStepsPerSecond - kSecondsBefore1970;
  if (unixSeconds < 0 || unixSeconds > kLatest) {
    return std::nullopt;
  }
  const auto steps =
      static_cast<std::uint64_t>((unixSeconds + kSecondsBefore1970) * kStepsPerSecond);
  FILETIME universalFile{};
  universalFile.dwLowDateTime = static_cast<DWORD>(steps & 0xFFFFFFFFu);
  universalFile.dwHighDateTime = static_cast<DWORD>(steps >> 32);
  SYSTEMTIME universal{};
  SYSTEMTIME local{};
  if (!::FileTimeToSystemTime(&universalFile, &universal) ||
      !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) {
    return std::nullopt;
  }
  return CalendarTime{
      static_cast<std::int32_t>(local.wYear),   static_cast<std::uint8_t>(local.wMonth),
      static_cast<std::uint8_t>(local.wDay),    static_cast<std::uint8_t>(local.wHour),
      static_cast<std::uint8_t>(local.wMinute), static_cast<std::uint8_t>(local.wSecond)};
}

}  // namespace quayside::platform
