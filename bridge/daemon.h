#pragma once

#include "bridge/bridge.h"
#include "bridge/listener.h"
#include "platform/process.h"
#include "relay/relay_thread.h"

#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace quayside {

// The daemon's command line, parsed. With --bridge alone no settings file is
// read; with --settings, or with neither option, the settings file is.
struct DaemonArguments {
  bool ok = false;  // false: `error` says what is wrong
  std::string error;
  bool help = false;
  bool version = false;
  bool readSettings = true;
  std::string settingsPath;  // empty: settingsPath()
  BridgeList bridges;        // one enabled IRC Bridge per --bridge, in order
};

// Parses the arguments after the program name.
DaemonArguments parseDaemonArguments(std::span<const std::string_view> arguments);

// Parses "PORT=SERVER/CHANNEL[,KEY=VALUE]..." (split at the last '/'; the
// options start at the first comma after it) into an enabled IRC Bridge; a
// password is hashed there and then. False with `error` set, naming the
// option, when the text is not of that form.
bool parseBridgeOption(std::string_view text, Bridge& bridge, std::string& error);

// The one-line texts of the events the daemon logs and the window shows,
// made in one place so both say the same. Foreign bytes are kept; logSafe
// makes a text one line.
std::string listeningText(const Bridge& bridge);
std::string errorOpeningPortText(const Bridge& bridge, std::string_view reason);
std::string acceptNoteText(const Bridge& bridge, ListenerHost::AcceptNote note,
                           std::uint32_t peerAddress, std::uint16_t peerPort,
                           std::string_view reason);
// "session 4111/alice (alice_) from :51022": the Bridge's port, the DC nick
// (and the IRC nick when it differs) and the client's port, so each line can
// be traced to one user among many sessions.
std::string sessionText(const Relay& relay);
std::string relayConnectedText(const Relay& relay);
std::string relayWelcomedText(const Relay& relay);
std::string relayEndedText(const Relay& relay, std::string_view reason);
std::string relayNoteText(const Relay& relay, std::string_view text);

// The nick the IRC server knows the session by.
std::string_view ircNick(const Relay& relay);

// `text` with control bytes shown as '?', so hostile server or channel texts
// cannot forge lines.
std::string logSafe(std::string_view text);

// The daemon's log: one line per event, written whole. Thread-safe, since
// relays report from their own threads; it must outlive every relay.
// The local date and time now, as log lines begin.
std::string localTimeNow();

class DaemonLog : public RelayObserver {
 public:
  using Sink = std::function<void(std::string_view line)>;  // the line ends in '\n'

  using TimeText = std::function<std::string()>;  // "2026-12-08 18:02:11"

  explicit DaemonLog(Sink sink, TimeText timeText = localTimeNow)
      : sink_(std::move(sink)), timeText_(std::move(timeText)) {}

  // Writes the local time, "quayside-daemon: " and `text`; control bytes
  // are shown as '?' so hostile server or channel texts cannot forge lines.
  void line(std::string_view text);

  void relayConnected(const Relay& relay) override;
  void relayWelcomed(const Relay& relay) override;
  void relayNote(const Relay& relay, std::string_view text) override;
  void relayEnded(const Relay& relay, std::string_view reason) override;

 private:
  std::mutex mutex_;
  Sink sink_;  // guarded by mutex_
  TimeText timeText_;
};

// A sink writing each line to standard error with one write.
DaemonLog::Sink standardErrorSink();

// Opens every enabled Bridge and accepts clients until `stop` is asked to
// stop. Returns the exit code: 0 when stopped, 1 when no Bridge could be
// opened or waiting failed.
int runDaemon(BridgeList& bridges, DaemonLog& log, platform::StopChannel& stop);

// The whole program over the command line: its exit code (2 for bad arguments).
int daemonMain(std::span<const std::string_view> arguments, DaemonLog& log);

}  // namespace quayside
