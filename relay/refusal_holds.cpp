#include "relay/refusal_holds.h"

#include <algorithm>

namespace quayside {
namespace {

constexpr std::int32_t kSecondsPerDay = 24 * 60 * 60;
constexpr std::int64_t kMinutesPerDay = std::int64_t{24} * 60;

std::string twoDigits(std::int32_t value) {
  return {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
}

// The local time `duration` after `now`, as "HH:MM", rounded up to the
// whole minute: the time shown is never before the hold ends.
std::string untilText(const HoldClock& now, std::chrono::seconds duration) {
  const std::int64_t start = std::clamp(now.secondOfDay, 0, kSecondsPerDay - 1);
  const std::int64_t minutes = (start + duration.count() + 59) / 60 % kMinutesPerDay;
  return twoDigits(static_cast<std::int32_t>(minutes / 60)) + ":" +
         twoDigits(static_cast<std::int32_t>(minutes % 60));
}

// `text` cut to `limit` bytes, never inside a UTF-8 character.
std::string_view cutText(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) {
    return text;
  }
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  return text.substr(0, end);
}

bool isBridgeWide(HoldCause cause) {
  return cause == HoldCause::kCertificate || cause == HoldCause::kUnreachable;
}

}  // namespace

Hold RefusalHolds::refuse(std::string_view nick, HoldCause cause, std::string_view reason,
                          const HoldClock& now) {
  // The server's own refusals do not depend on the nick.
  if (isBridgeWide(cause)) {
    nick = {};
  }
  const std::lock_guard lock(mutex_);
  auto entry = std::find_if(entries_.begin(), entries_.end(),
                            [nick](const Entry& e) { return e.nick == nick; });
  if (entry == entries_.end()) {
    if (entries_.size() >= kEntryLimit) {
      // The one that has been over longest goes; while all run, the one
      // that ends soonest.
      entries_.erase(std::min_element(
          entries_.begin(), entries_.end(),
          [](const Entry& a, const Entry& b) { return a.hold.until < b.hold.until; }));
    }
    entry = entries_.insert(entries_.end(), Entry{std::string(nick), {}, 0, 0});
  }
  std::chrono::seconds duration = kKickHold;
  if (cause != HoldCause::kKick) {
    // 30 s, 60 s, 120 s, 240 s, then 300 s: the shift stops before it
    // could overflow.
    entry->refusals = std::min<std::uint32_t>(entry->refusals + 1, 16);
    duration =
        std::min<std::chrono::seconds>(kFirstHold * (1 << (entry->refusals - 1)), kLongestHold);
  }
  entry->hold = Hold{cause, std::string(cutText(reason, kReasonLimit)), now.steady + duration,
                     untilText(now, duration)};
  entry->order = ++recorded_;
  return entry->hold;
}

void RefusalHolds::welcomed(std::string_view nick) {
  const std::lock_guard lock(mutex_);
  std::erase_if(entries_, [nick](const Entry& e) { return e.nick == nick || e.nick.empty(); });
}

std::optional<Hold> RefusalHolds::find(std::string_view nick, Clock::time_point now) const {
  const std::lock_guard lock(mutex_);
  const Entry* found = nullptr;
  for (const Entry& entry : entries_) {
    if ((entry.nick == nick || entry.nick.empty()) && entry.hold.until > now &&
        (found == nullptr || entry.hold.until > found->hold.until)) {
      found = &entry;
    }
  }
  return found == nullptr ? std::nullopt : std::optional<Hold>(found->hold);
}

bool RefusalHolds::anyActive(Clock::time_point now) const {
  const std::lock_guard lock(mutex_);
  return std::any_of(entries_.begin(), entries_.end(),
                     [now](const Entry& e) { return e.hold.until > now; });
}

std::optional<Hold> RefusalHolds::newest(Clock::time_point now) const {
  const std::lock_guard lock(mutex_);
  const Entry* found = nullptr;
  for (const Entry& entry : entries_) {
    if (entry.hold.until > now && (found == nullptr || entry.order > found->order)) {
      found = &entry;
    }
  }
  return found == nullptr ? std::nullopt : std::optional<Hold>(found->hold);
}

std::string heldText(const Hold& hold) {
  std::string_view after = "a failed connection";
  switch (hold.cause) {
    case HoldCause::kKick:
      after = "a kick";
      break;
    case HoldCause::kPassword:
      after = "a refused password";
      break;
    case HoldCause::kNicks:
      after = "refused nicks";
      break;
    case HoldCause::kServerError:
      after = "the server's ERROR";
      break;
    case HoldCause::kCertificate:
      after = "a refused certificate";
      break;
    case HoldCause::kUnreachable:
      break;
  }
  return "held after " + std::string(after) + " until " + hold.untilText;
}

}  // namespace quayside
