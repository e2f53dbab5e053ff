#pragma once

#include "platform/charset.h"
#include "relay/framing.h"
#include "relay/relay.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quayside::testing {

// A fresh Relay on the heap (it is too big for a test's stack).
inline std::unique_ptr<Relay> makeRelay(std::string_view channel = "#c",
                                        std::string_view nick = "") {
  auto relay = std::make_unique<Relay>();
  relay->channel.assign(channel);
  relay->nick.assign(nick);
  return relay;
}

// The converter for the client's character set `name`, opened once per name
// for the test program's life; null for UTF-8 (or an empty name).
inline TextConverter* charsetFor(std::string_view name) {
  static std::map<std::string, std::unique_ptr<TextConverter>, std::less<>> opened;
  if (name.empty()) {
    return nullptr;
  }
  auto found = opened.find(name);
  if (found == opened.end()) {
    std::string error;
    found = opened.emplace(std::string(name), platform::openCharset(name, error)).first;
  }
  return found->second.get();
}

// Rooms for a test, as "#help ~#dev": a room with '~' in front awaits the
// server's answer to its JOIN; the others are joined, with "carol" in them.
inline void addRooms(Relay& relay, std::string_view rooms) {
  while (!rooms.empty()) {
    const std::string_view name = rooms.substr(0, rooms.find(' '));
    rooms.remove_prefix(std::min(rooms.size(), name.size() + 1));
    const bool awaited = name.starts_with('~');
    Room* room = relay.rooms.add(name.substr(awaited ? 1 : 0));
    room->step = awaited ? RoomStep::kJoining : RoomStep::kJoined;
    if (!awaited) {
      room->members.add("carol");
    }
  }
}

// A fixed time zone for tests, one hour east of UTC all year, read from the
// calendar alone: times in translations are the same on every machine.
inline std::optional<CalendarTime> fixedZoneTime(std::int64_t unixSeconds) {
  using namespace std::chrono;
  const sys_seconds at{seconds{unixSeconds + 3600}};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss<seconds> clock{at - day};
  return CalendarTime{static_cast<int>(date.year()),
                      static_cast<std::uint8_t>(static_cast<unsigned>(date.month())),
                      static_cast<std::uint8_t>(static_cast<unsigned>(date.day())),
                      static_cast<std::uint8_t>(clock.hours().count()),
                      static_cast<std::uint8_t>(clock.minutes().count()),
                      static_cast<std::uint8_t>(clock.seconds().count())};
}

// A fixed now for tests: 2026-12-08 18:10:00 UTC (19:10 in fixedZoneTime).
inline constexpr std::int64_t kFixedNow = 1796753400;
inline std::int64_t fixedNow() {
  return kFixedNow;
}

// The real translations, telling times in fixedZoneTime at fixedNow.
inline Translator& fixedZoneTranslator() {
  static StandardTranslator translator(randomWord, fixedZoneTime, fixedNow);
  return translator;
}

// Feeds bytes to the real framing as one receive, as the relay thread would,
// so each complete message reaches `translator` exactly as in production.
inline void feedClient(Relay& relay, std::string_view bytes, RelayOutput& out,
                       Translator& translator = standardTranslator()) {
  feed(relay, Stream::kClient, bytes, translator, out);
}
inline void feedServer(Relay& relay, std::string_view bytes, RelayOutput& out,
                       Translator& translator = standardTranslator()) {
  feed(relay, Stream::kServer, bytes, translator, out);
}

}  // namespace quayside::testing
