#include "translate/linger.h"

#include "core/calendar_time.h"
#include "translate/composer.h"
#include "translate/nmdc_text.h"
#include "translate/room_lines.h"
#include "translate/server_output.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace quayside {
namespace {

using namespace std::string_view_literals;

// A kept private message starts here: its "$To: <nick> " goes when kept.
constexpr std::string_view kFrom = "From: ";
// "$To: ", a nick of 100 bytes each escaped in at most six, " From: ".
constexpr std::size_t kAddressCapacity = 640;

// Where a kept line's head ends: after the "<alice> " (or "<-alice-> ") of
// main chat, after the "From: x $<alice> " of a private message; 0 for a
// line that has none. Names are escaped, so the first " $<" is the head's,
// and IRC nicks hold no space, so the first "> " after it ends the speaker.
std::size_t headEnd(std::string_view command) {
  std::size_t from = 0;
  if (command.starts_with(kFrom)) {
    const std::size_t mark = command.find(" $<"sv);
    if (mark == std::string_view::npos) {
      return 0;
    }
    from = mark + 2;
  } else if (!command.starts_with('<')) {
    return 0;
  }
  const std::size_t close = command.find("> "sv, from);
  return close == std::string_view::npos ? 0 : close + 2;
}

// Kept text is escaped already: it is unescaped here and escaped again as
// it is composed, which gives the same bytes and cuts long lines only
// between whole escapes.
void appendKeptText(LongMessage& message, std::string_view text, std::string& scratch) {
  scratch.resize(text.size());
  message.appendText({scratch.data(), nmdcUnescape(text, scratch.data(), scratch.size())});
}

// One kept line with its time after its head, as chat played back on
// joining is shown: "<alice> [18:03] text", "<alice> /me [18:03] waves".
void replayLine(const RelayState& relay, RelayOutput& out, const KeptLine& line,
                std::string_view time, std::string& scratch) {
  std::string_view rest = line.command;
  LongMessage message(out);
  if (rest.starts_with(kFrom)) {
    message.head().append("$To: ");
    message.head().appendEscaped(relay.nick.view());
    message.head().append(' ');
  }
  const std::size_t head = headEnd(rest);
  message.head().append(rest.substr(0, head));
  message.endHead();
  rest.remove_prefix(head);
  if (rest == "/me"sv || rest.starts_with("/me "sv)) {
    message.appendPlain("/me");
    if (!time.empty()) {
      message.appendPlain(" [");
      message.appendPlain(time);
      message.appendPlain("]");
    }
    rest.remove_prefix(std::min<std::size_t>(rest.size(), 4));
    if (!rest.empty()) {
      message.appendPlain(" ");
      appendKeptText(message, rest, scratch);
    }
  } else {
    if (!time.empty()) {
      message.appendPlain("[");
      message.appendPlain(time);
      message.appendPlain("] ");
    }
    appendKeptText(message, rest, scratch);
  }
  message.send();
}

void appendCount(Composer& c, std::uint64_t count, std::string_view one, std::string_view many) {
  c.append(std::to_string(count));
  c.append(count == 1 ? one : many);
}

}  // namespace

void detachClient(RelayState& relay, RelayOutput& out, std::int64_t now) {
  // Only a registered user can be marked away; a client that left before
  // its return cleared the mark leaves it set.
  const bool marked = relay.detachedAt != 0 && relay.returnStep != ReturnStep::kListing;
  if ((relay.loginFlags & kLoginWelcomed) != 0 && !marked) {
    out.send(Peer::kServer, "AWAY :Away (DC client disconnected)\r\n");
  }
  if (relay.detachedAt == 0) {
    relay.detachedAt = std::max<std::int64_t>(now, 1);
  }
  relay.returnStep = ReturnStep::kAway;
  // The next client logs in as a new one would; the server's side stays.
  relay.loginFlags &= static_cast<std::uint8_t>(~(kLoginValidated | kLoginInfoReceived));
  relay.clientFeatures = 0;
  relay.clientSpeaksWindows1252 = false;
  std::vector<std::string>().swap(relay.toldNoFiles);
  if (relay.loginStep == LoginStep::kAsked) {
    relay.loginStep = LoginStep::kIdle;  // the next client is asked again
  }
}

void attachClient(RelayState& relay) {
  if (relay.detachedAt == 0) {
    return;
  }
  if ((relay.loginFlags & kLoginUserSent) == 0) {
    // Never registered, so nothing was said to the user: the client's login
    // completes the registration as a new client's does.
    relay.kept.clear();
    relay.detachedAt = 0;
    relay.returnStep = ReturnStep::kAway;
    return;
  }
  relay.returnStep = ReturnStep::kLoggingIn;
}

void greetReturningClient(RelayState& relay, RelayOutput& out, const LocalTimeSource& localTime,
                          std::int64_t now) {
  if ((relay.loginFlags & kLoginWelcomed) != 0) {
    out.send(Peer::kServer, "AWAY\r\n");
  }
  std::array<char, kChannelCapacity + 1> targetBytes;
  Composer target(targetBytes);
  appendChannelTarget(target, relay.channel.view());
  const bool joined = (relay.loginFlags & kLoginHubNamed) != 0 && !target.view().empty();
  if (joined) {
    Batch batch(out, Peer::kClient);
    addWhole(batch, [&](Composer& c) { appendHubName(c, relay); });
  }
  const auto rooms = relay.rooms.all();
  const auto last = std::find_if(rooms.rbegin(), rooms.rend(),
                                 [](const Room& room) { return room.step == RoomStep::kJoined; });
  for (const Room& room : rooms) {
    if (room.step == RoomStep::kJoined) {
      showRoomUser(relay, out, room, &room == &*last);
    }
  }
  if (!joined) {
    replayKept(relay, out, localTime, now);
    return;
  }
  Composer names(out.area(Peer::kServer));
  names.append("NAMES ");
  names.append(target.view());
  names.terminate("\r\n");
  out.commit(Peer::kServer, names.size());
  relay.returnStep = ReturnStep::kListing;
}

void replayKept(RelayState& relay, RelayOutput& out, const LocalTimeSource& localTime,
                std::int64_t now) {
  const std::optional<CalendarTime> today = localTime ? localTime(now) : std::nullopt;
  const auto timeOf = [&](std::int64_t at) {
    const std::optional<CalendarTime> said = today ? localTime(at) : std::nullopt;
    return said ? sayingTimeText(*said, *today) : std::string();
  };
  const KeptLines& kept = relay.kept;
  const std::string since = timeOf(relay.detachedAt);
  {
    Batch batch(out, Peer::kClient);
    addWhole(batch, [&](Composer& c) {
      c.append("*** Welcome back: ");
      if (kept.empty() && kept.dropped() == 0) {
        c.append("nothing was said");
      } else {
        appendCount(c, kept.size(), " line", " lines");
      }
      if (!since.empty()) {
        c.append(" since ");
        c.append(since);
      }
      if (kept.dropped() > 0) {
        c.append(" (");
        appendCount(c, kept.dropped(), " older one was", " older ones were");
        c.append(" not kept)");
      }
      c.terminate("|");
    });
  }
  std::string scratch;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    replayLine(relay, out, kept[i], timeOf(kept[i].at), scratch);
  }
  relay.kept.clear();
  relay.detachedAt = 0;
  relay.returnStep = ReturnStep::kAway;
}

std::span<char> KeepingOutput::area(Peer peer) {
  if (peer == Peer::kServer) {
    return inner_.area(peer);
  }
  if (!area_) {
    area_ = std::make_unique_for_overwrite<char[]>(kOutCapacity);
  }
  return {area_.get(), kOutCapacity};
}

void KeepingOutput::commit(Peer peer, std::size_t size) {
  if (peer == Peer::kServer) {
    inner_.commit(peer, size);
    return;
  }
  // Every '|' ends a command: the text in them is escaped.
  std::string_view group(area_.get(), size);
  std::string shown;
  while (!group.empty()) {
    const std::size_t end = group.find('|');
    if (end == std::string_view::npos) {
      partial_.append(group);
      break;
    }
    if (partial_.empty()) {
      take(group.substr(0, end), shown);
    } else {
      partial_.append(group.substr(0, end));
      take(partial_, shown);
      partial_.clear();
    }
    group.remove_prefix(end + 1);
  }
  if (!shown.empty()) {
    inner_.send(Peer::kClient, shown);
  }
}

void KeepingOutput::take(std::string_view command, std::string& shown) {
  if (command.starts_with('<') || command.starts_with("$To: "sv)) {
    std::array<char, kAddressCapacity> bytes;
    Composer address(bytes);
    address.append("$To: ");
    address.appendEscaped(relay_.nick.view());
    address.append(' ');
    address.append(kFrom);
    if (!address.truncated() && command.starts_with(address.view())) {
      command.remove_prefix(address.size() - kFrom.size());
    }
    relay_.kept.keep(command, at_);
    keptAny_ = true;
    return;
  }
  if (showOthers_) {
    shown.append(command);
    shown.push_back('|');
  }
}

}  // namespace quayside
