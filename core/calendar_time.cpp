#include "core/calendar_time.h"

#include <chrono>

namespace quayside {
namespace {

void appendDigits(std::string& text, unsigned value, int width) {
  std::string digits = std::to_string(value);
  if (digits.size() < static_cast<std::size_t>(width)) {
    text.append(static_cast<std::size_t>(width) - digits.size(), '0');
  }
  text += digits;
}

// The decimal number of exactly `width` digits at `at`, or nothing.
std::optional<unsigned> digitsAt(std::string_view text, std::size_t at, std::size_t width) {
  if (at + width > text.size()) {
    return std::nullopt;
  }
  unsigned value = 0;
  for (std::size_t i = at; i < at + width; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return value;
}

}  // namespace

std::string dateTimeText(const CalendarTime& time, bool seconds) {
  std::string text;
  text += std::to_string(time.year);
  text += '-';
  appendDigits(text, time.month, 2);
  text += '-';
  appendDigits(text, time.day, 2);
  text += ' ';
  appendDigits(text, time.hour, 2);
  text += ':';
  appendDigits(text, time.minute, 2);
  if (seconds) {
    text += ':';
    appendDigits(text, time.second, 2);
  }
  return text;
}

std::optional<std::int64_t> parseServerTime(std::string_view text) {
  using namespace std::chrono;
  // "YYYY-MM-DDThh:mm:ss", then an optional fraction, then "Z".
  const auto year = digitsAt(text, 0, 4);
  const auto month = digitsAt(text, 5, 2);
  const auto day = digitsAt(text, 8, 2);
  const auto hour = digitsAt(text, 11, 2);
  const auto minute = digitsAt(text, 14, 2);
  const auto second = digitsAt(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second || text[4] != '-' || text[7] != '-' ||
      text[10] != 'T' || text[13] != ':' || text[16] != ':' || *hour > 23 || *minute > 59 ||
      *second > 60) {
    return std::nullopt;
  }
  std::size_t end = 19;
  if (end < text.size() && text[end] == '.') {
    const std::size_t fraction = ++end;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
      ++end;
    }
    if (end == fraction) {
      return std::nullopt;
    }
  }
  if (end + 1 != text.size() || text[end] != 'Z') {
    return std::nullopt;
  }
  const year_month_day date{std::chrono::year{static_cast<int>(*year)}, std::chrono::month{*month},
                            std::chrono::day{*day}};
  if (!date.ok()) {
    return std::nullopt;
  }
  // A leap second reads as the second before it.
  const unsigned seconds = *second == 60 ? 59 : *second;
  const std::chrono::seconds since = sys_days{date}.time_since_epoch() + hours{*hour} +
                                     minutes{*minute} + std::chrono::seconds{seconds};
  return since.count();
}

std::string sayingTimeText(const CalendarTime& at, const CalendarTime& now) {
  const bool today = at.year == now.year && at.month == now.month && at.day == now.day;
  if (!today) {
    return dateTimeText(at, false);
  }
  std::string text;
  appendDigits(text, at.hour, 2);
  text += ':';
  appendDigits(text, at.minute, 2);
  return text;
}

}  // namespace quayside
