#include "bridge/daemon.h"

#include "bridge/about.h"
#include "bridge/listener.h"
#include "bridge/settings.h"
#include "core/calendar_time.h"
#include "platform/charset.h"
#include "platform/clock.h"
#include "platform/password_hash.h"
#include "platform/wait.h"
#include "relay/registry.h"
#include "translate/irc_nick.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace quayside {
namespace {

using Clock = std::chrono::steady_clock;

// A listener whose accept fails (out of descriptors, say) stays readable;
// it rests this long instead of spinning.
constexpr auto kAcceptRest = std::chrono::milliseconds(100);

// Test hook, not for users: "REGISTRATION,IDLE,REPLY" in milliseconds
// shortens the relays' server timeouts (end-to-end tests of silent servers).
constexpr char kTimeoutsVariable[] = "QUAYSIDE_RELAY_TIMEOUTS";

constexpr std::string_view kSettingsOption = "--settings";
constexpr std::string_view kBridgeOption = "--bridge";

std::string dotted(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string portText(const Bridge& bridge) {
  return std::to_string(bridge.localPort);
}

// The ListenerHost of the daemon: its own wait loop in place of window events.
class DaemonHost : public ListenerHost {
 public:
  explicit DaemonHost(DaemonLog& log) : log_(log) {}

  void watchAccepts(SocketHandle listener, std::uint32_t acceptMessage) override {
    unwatchAccepts(listener);
    watched_.push_back({listener, acceptMessage, Clock::time_point{}});
  }

  void unwatchAccepts(SocketHandle listener) override {
    std::erase_if(watched_, [listener](const Watched& w) { return w.socket == listener; });
  }

  void errorOpeningPort(const Bridge& bridge, std::string_view reason) override {
    log_.line(errorOpeningPortText(bridge, reason));
  }

  void uncheckCurrentRow() override {}

  void noteAccept(const Bridge& bridge, AcceptNote note, std::uint32_t peerAddress,
                  std::uint16_t peerPort, std::string_view reason) override {
    log_.line(acceptNoteText(bridge, note, peerAddress, peerPort, reason));
    if (note == AcceptNote::kAcceptFailed) {
      rest(bridge.listenSocket);
      rest(bridge.listenSocket6);
    }
  }

  // Runs accept events until `stop` is readable; 0 when stopped.
  int loop(Listeners& listeners, platform::StopChannel& stop) {
    std::vector<platform::WaitEntry> entries;
    std::vector<std::uint32_t> messages;
    for (;;) {
      const Clock::time_point now = Clock::now();
      entries.assign(1, platform::WaitEntry{stop.handle(), false});
      messages.clear();
      std::optional<std::chrono::milliseconds> timeout;
      for (const Watched& w : watched_) {
        if (w.restUntil > now) {
          const auto wait = std::chrono::ceil<std::chrono::milliseconds>(w.restUntil - now);
          timeout = timeout ? std::min(*timeout, wait) : wait;
          continue;
        }
        entries.push_back({w.socket, false});
        messages.push_back(w.message);
      }
      const platform::WaitResult waited = platform::waitReadable(entries, timeout);
      if (waited.status == platform::WaitStatus::kFailed) {
        log_.line("waiting for clients failed: " + waited.error);
        return 1;
      }
      if (entries[0].readable) {
        const std::string reason = stop.takeReason();
        log_.line(reason.empty() ? std::string("stopping") : "stopping on " + reason);
        return 0;
      }
      // Events are collected first: an accept may change the watched set.
      for (std::size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].readable) {
          listeners.acceptClient(messages[i - 1]);
        }
      }
    }
  }

 private:
  struct Watched {
    SocketHandle socket;
    std::uint32_t message;
    Clock::time_point restUntil;
  };

  void rest(SocketHandle listener) {
    for (Watched& w : watched_) {
      if (w.socket == listener) {
        w.restUntil = Clock::now() + kAcceptRest;
      }
    }
  }

  DaemonLog& log_;
  std::vector<Watched> watched_;
};

bool parsePort(std::string_view text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5) {
    return false;
  }
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) {
    return false;
  }
  port = static_cast<std::uint16_t>(value);
  return true;
}

// The value of "--name VALUE" or "--name=VALUE" at arguments[index]; moves
// `index` past what it used. False when the argument is another option.
bool optionValue(std::span<const std::string_view> arguments, std::size_t& index,
                 std::string_view name, std::string_view& value, std::string& error) {
  const std::string_view argument = arguments[index];
  if (argument == name) {
    if (index + 1 >= arguments.size()) {
      error = std::string(name) + " needs a value";
      return true;
    }
    value = arguments[++index];
    return true;
  }
  if (argument.size() > name.size() && argument.starts_with(name) && argument[name.size()] == '=') {
    value = argument.substr(name.size() + 1);
    return true;
  }
  return false;
}

// The relays' timeouts, shortened by kTimeoutsVariable when it holds three
// or four positive numbers (the send limit last).
RelayTimeouts relayTimeouts(DaemonLog& log) {
  RelayTimeouts timeouts;
  const char* set = std::getenv(kTimeoutsVariable);
  if (set == nullptr) {
    return timeouts;
  }
  const std::string_view text(set);
  std::array<std::chrono::milliseconds*, 4> fields{&timeouts.registration, &timeouts.idle,
                                                   &timeouts.reply, &timeouts.send};
  const char* at = text.data();
  const char* const end = text.data() + text.size();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::uint32_t value = 0;
    const auto [next, error] = std::from_chars(at, end, value);
    const bool last = next == end && i + 1 >= 3;
    if (error != std::errc() || value == 0 || (!last && (next == end || *next != ','))) {
      break;
    }
    *fields[i] = std::chrono::milliseconds(value);
    if (last) {
      return timeouts;
    }
    at = next + 1;
  }
  log.line(std::string("ignoring ") + kTimeoutsVariable + "=\"" + set + "\"");
  return {};
}

}  // namespace

bool parseBridgeOption(std::string_view text, Bridge& bridge, std::string& error) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) {
    error = "--bridge wants PORT=SERVER/CHANNEL, not \"" + std::string(text) + "\"";
    return false;
  }
  std::uint16_t port = 0;
  if (!parsePort(text.substr(0, equals), port)) {
    error = "--bridge port must be a number from 1 to 65535, not \"" +
            std::string(text.substr(0, equals)) + "\"";
    return false;
  }
  const std::string_view target = text.substr(equals + 1);
  const std::size_t slash = target.find_last_of('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == target.size()) {
    error = "--bridge wants SERVER/CHANNEL after the port, not \"" + std::string(target) + "\"";
    return false;
  }
  const std::string_view server = target.substr(0, slash);
  // IRC channel names cannot hold a comma: the first one starts the options.
  std::string_view channel = target.substr(slash + 1);
  std::string_view options;
  if (const std::size_t comma = channel.find(','); comma != std::string_view::npos) {
    options = channel.substr(comma + 1);
    channel = channel.substr(0, comma);
    if (options.empty()) {
      error = "--bridge wants KEY=VALUE after a comma";
      return false;
    }
  }
  if (channel.empty()) {
    error = "--bridge wants SERVER/CHANNEL after the port, not \"" + std::string(target) + "\"";
    return false;
  }
  if (server.size() >= kBridgeServerCapacity || channel.size() >= kBridgeChannelCapacity) {
    error = "--bridge server text is limited to 511 characters and the channel to 255";
    return false;
  }
  bridge = Bridge{};
  if (const std::string refused =
          applyOptions(bridge.options, options, &platform::systemPasswordHasher());
      !refused.empty()) {
    error = "--bridge " + refused;
    return false;
  }
  if (const std::string refused = bridgeOptionsProblem(bridge.options, channel); !refused.empty()) {
    error = "--bridge " + refused;
    return false;
  }
  if (std::string why; !platform::charsetUsable(bridge.options.charsetName(), why)) {
    error = "--bridge charset: " + why;
    return false;
  }
  bridge.enabled = 1;
  bridge.upstreamKind = 1;
  bridge.localPort = port;
  setFieldText(bridge.server, server);
  setFieldText(bridge.channel, channel);
  return true;
}

DaemonArguments parseDaemonArguments(std::span<const std::string_view> arguments) {
  DaemonArguments parsed;
  bool settingsGiven = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view value;
    if (arguments[i] == "--help" || arguments[i] == "-h") {
      parsed.help = true;
    } else if (arguments[i] == "--version") {
      parsed.version = true;
    } else if (optionValue(arguments, i, kSettingsOption, value, parsed.error)) {
      if (!parsed.error.empty()) {
        return parsed;
      }
      if (settingsGiven) {
        parsed.error = "--settings may be given once";
        return parsed;
      }
      if (value.empty()) {
        parsed.error = "--settings needs a file name";
        return parsed;
      }
      settingsGiven = true;
      parsed.settingsPath = std::string(value);
    } else if (optionValue(arguments, i, kBridgeOption, value, parsed.error)) {
      if (!parsed.error.empty()) {
        return parsed;
      }
      Bridge bridge;
      if (!parseBridgeOption(value, bridge, parsed.error)) {
        return parsed;
      }
      parsed.bridges.push_back(bridge);
    } else {
      parsed.error = "unknown argument \"" + std::string(arguments[i]) + "\"";
      return parsed;
    }
  }
  parsed.readSettings = settingsGiven || parsed.bridges.empty();
  parsed.ok = true;
  return parsed;
}

std::string listeningText(const Bridge& bridge) {
  return "listening on 127.0.0.1:" + portText(bridge) + " server " +
         std::string(fieldText(bridge.server)) + " channel " +
         std::string(fieldText(bridge.channel));
}

std::string errorOpeningPortText(const Bridge& bridge, std::string_view reason) {
  return "Error opening port " + portText(bridge) + ": " + std::string(reason);
}

std::string acceptNoteText(const Bridge& bridge, ListenerHost::AcceptNote note,
                           std::uint32_t peerAddress, std::uint16_t peerPort,
                           std::string_view reason) {
  switch (note) {
    case ListenerHost::AcceptNote::kAccepted:
      return "session " + portText(bridge) + " from :" + std::to_string(peerPort) + " accepted";
    case ListenerHost::AcceptNote::kRefused:
      return "client refused on port " + portText(bridge) + " from " + dotted(peerAddress);
    case ListenerHost::AcceptNote::kRelayNotStarted:
      return "relay not started on port " + portText(bridge);
    case ListenerHost::AcceptNote::kOverCap:
      return "clients turned away on port " + portText(bridge) + ": more than " +
             std::to_string(bridge.options.maxSessions) + " sessions or " +
             std::to_string(Admission::kUnvalidatedLimit) +
             " connections without a nick (one line per run)";
    case ListenerHost::AcceptNote::kAcceptFailed:
      break;
  }
  return "accept failed on port " + portText(bridge) + ": " + std::string(reason);
}

std::string sessionText(const Relay& relay) {
  std::string text = "session " + std::to_string(relay.bridgePort);
  const std::string_view nick = relay.nick.empty() ? relay.namedAs.view() : relay.nick.view();
  if (!nick.empty()) {
    text += "/" + std::string(nick);
    const std::string_view irc = relay.ircNick.view();
    if (!irc.empty() && irc != nick) {
      text += " (" + std::string(irc) + ")";
    }
  }
  return text + " from :" + std::to_string(relay.clientPort);
}

std::string relayConnectedText(const Relay& relay) {
  return sessionText(relay) + " connected to " + std::string(relay.serverText.view()) + " (" +
         std::string(relay.serverAddress.view()) + ":" + std::to_string(relay.serverPort) +
         ") channel " + std::string(relay.channel.view());
}

std::string relayWelcomedText(const Relay& relay) {
  return sessionText(relay) + " welcomed by " + std::string(relay.serverText.view()) + " channel " +
         std::string(relay.channel.view()) + " as IRC nick " + std::string(ircNick(relay));
}

std::string relayEndedText(const Relay& relay, std::string_view reason) {
  return sessionText(relay) + " ended: " + std::string(reason);
}

std::string relayNoteText(const Relay& relay, std::string_view text) {
  return sessionText(relay) + ": " + std::string(text);
}

std::string localTimeNow() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const std::optional<CalendarTime> time =
      platform::localCalendarTime(std::chrono::duration_cast<std::chrono::seconds>(now).count());
  return time ? dateTimeText(*time) : std::string("(time unknown)");
}

std::string_view ircNick(const Relay& relay) {
  return ircNickOf(relay);
}

std::string logSafe(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    safe += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
  return safe;
}

void DaemonLog::line(std::string_view text) {
  const std::string whole = timeText_() + " quayside-daemon: " + logSafe(text) + '\n';
  const std::lock_guard lock(mutex_);
  sink_(whole);
}

void DaemonLog::relayConnected(const Relay& relay) {
  line(relayConnectedText(relay));
}

void DaemonLog::relayWelcomed(const Relay& relay) {
  line(relayWelcomedText(relay));
}

void DaemonLog::relayNote(const Relay& relay, std::string_view text) {
  line(relayNoteText(relay, text));
}

void DaemonLog::relayEnded(const Relay& relay, std::string_view reason) {
  line(relayEndedText(relay, reason));
}

DaemonLog::Sink standardErrorSink() {
  return [](std::string_view line) { platform::writeStandardError(line); };
}

int runDaemon(BridgeList& bridges, DaemonLog& log, platform::StopChannel& stop) {
  DaemonHost host(log);
  Listeners listeners(bridges, host, &log, relayTimeouts(log));
  std::size_t opened = 0;
  for (Bridge& bridge : bridges) {
    if (bridge.enabled == 0) {
      continue;
    }
    listeners.openListener(bridge);
    if (bridge.listenSocket != kNoSocket) {
      ++opened;
      log.line(listeningText(bridge));
    }
  }
  if (opened == 0) {
    log.line("no Bridge could be opened (" + std::to_string(bridges.size()) +
             " configured), exiting");
    return 1;
  }
  const int code = host.loop(listeners, stop);
  for (Bridge& bridge : bridges) {
    listeners.closeListener(bridge);
  }
  // Each session quits its IRC server before the process ends.
  if (!stopRelays(kRelayStopBound)) {
    log.line("sessions still ending after " + std::to_string(kRelayStopBound.count()) +
             " ms, exiting");
  }
  return code;
}

int daemonMain(std::span<const std::string_view> arguments, DaemonLog& log) {
  DaemonArguments parsed = parseDaemonArguments(arguments);
  if (!parsed.ok) {
    log.line(parsed.error);
    const std::string usage = daemonUsageText();
    std::fwrite(usage.data(), 1, usage.size(), stderr);
    return 2;
  }
  if (parsed.help || parsed.version) {
    std::string file = "none (--bridge alone reads no file)";
    if (parsed.readSettings) {
      file = parsed.settingsPath.empty() ? settingsPath() : parsed.settingsPath;
    }
    const std::string text = parsed.help ? daemonHelpText(file) : versionText("quayside-daemon");
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }

  BridgeList bridges;
  if (parsed.readSettings) {
    const std::string path = parsed.settingsPath.empty() ? settingsPath() : parsed.settingsPath;
    std::string problem;
    bridges = loadSettings(path, &problem);
    if (!problem.empty()) {
      log.line(problem);
      return 1;
    }
    const auto enabled = std::count_if(bridges.begin(), bridges.end(),
                                       [](const Bridge& b) { return b.enabled != 0; });
    log.line("settings " + path + ": " + std::to_string(bridges.size()) + " Bridges, " +
             std::to_string(enabled) + " enabled");
  }
  bridges.splice(bridges.end(), parsed.bridges);

  platform::ignoreSigpipe();
  platform::raiseDescriptorLimit();
  std::string error;
  const std::unique_ptr<platform::StopChannel> stop = platform::openStopChannel(error);
  if (!stop) {
    log.line("cannot make the stop pipe: " + error);
    return 1;
  }
  return runDaemon(bridges, log, *stop);
}

}  // namespace quayside
