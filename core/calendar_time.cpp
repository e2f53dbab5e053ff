#include "core/calendar_time.h"

namespace quayside {
namespace {

void appendDigits(std::string& text, unsigned value, int width) {
  std::string digits = std::to_string(value);
  if (digits.size() < static_cast<std::size_t>(width)) {
    text.append(static_cast<std::size_t>(width) - digits.size(), '0');
  }
  text += digits;
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

}  // namespace quayside
