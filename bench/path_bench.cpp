// The whole path benchmark: a scripted NMDC client and a scripted IRC server
// on loopback, with quayside-daemon between them, measured against the same
// traffic going straight to the server and through socat (a byte relay that
// translates nothing), and through the daemon over TLS. Run by bench/run.sh; see there for the
// goals.
#include "bench_support.h"
#include "support/tls_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

namespace quayside::bench {
namespace {

constexpr char kChannel[] = "#bench";
// The rooms measurement: every relay in this many rooms, each with this many
// members (the DC user among them, as a server's names list has it).
constexpr int kRooms = 16;
constexpr int kRoomMembers = 1000;
// The lingering measurement: chat lines sent to each detached session, of
// about 250 bytes, more than its kept lines hold by either bound. The
// re-attach is timed with a thousand shorter ones, all of which are kept.
constexpr int kFillLines = 1100;
constexpr std::size_t kFillText = 240;
constexpr int kReplayLines = 1000;
constexpr std::size_t kReplayText = 100;
constexpr char kAwayLine[] = "AWAY :Away (DC client disconnected)\r\n";

struct Settings {
  std::string daemon = QUAYSIDE_DAEMON_PATH;
  std::string socat;
  int rounds = 10;     // latency rounds; each path takes its turn per round
  int perRound = 200;  // samples per direction per path per round
  int burstLines = 10000;
  int burstRepeats = 5;
  int idleRelays = 500;
  int idleSeconds = 5;
  int roomRelays = 50;
  int lingering = 100;  // sessions lingering with full kept lines
  int replays = 5;      // timed re-attaches
};

// kTls: through quayside-daemon to the scripted server over TLS (ircs://).
enum class Kind { kDirect, kSocat, kQuayside, kTls };

struct Path {
  const char* name;
  Kind kind;
  std::uint16_t port = 0;  // where the client connects (direct: the server)
  bool rooms = false;      // its Bridge puts every session in the rooms
};

// A client and the scripted server's end of the connection it caused.
struct Link {
  MessagePeer client{"|"};
  MessagePeer server{"\r\n"};
  bool translated = false;
};

std::string clientInfo(const std::string& nick) {
  return "$MyINFO $ALL " + nick + " bench<++ V:0.1>$ $LAN(T3)\x01$" + nick + "@example.org$0$|";
}

// The NMDC login through the daemon, the scripted server answering as an
// IRC server would, up to the hub name and the member list.
// The daemon connects to the server once the client has named itself.
void greetAndName(MessagePeer& client, const std::string& nick) {
  require(client.expectNext("$Lock EXTENDEDPROTOCOL_QUAYSIDE Pk=version1.00|", kWaitLimit),
          "the daemon did not greet with the lock");
  sendTo(client, "$Supports NoHello NickChange |$Key bench|$ValidateNick " + nick + "|");
}

void logIn(Link& link, const std::string& nick) {
  MessagePeer& client = link.client;
  MessagePeer& server = link.server;
  require(server.waitForExact("NICK " + nick + "\r\n", kWaitLimit), "login");
  require(client.waitForExact("$Hello " + nick + "|", kWaitLimit), "login");
  sendTo(client, "$Version 1,0091|$GetNickList|" + clientInfo(nick));
  require(server.waitForPrefix("USER " + nick + " ", nullptr, kWaitLimit), "login");
  sendTo(server, ":bench.server 001 " + nick + " :Welcome to the bench\r\n");
  require(server.waitForExact(std::string("JOIN ") + kChannel + "\r\n", kWaitLimit), "login");
  sendTo(server, ":" + nick + "!~" + nick + "@127.0.0.1 JOIN :" + kChannel + "\r\n" +
                     ":bench.server 353 " + nick + " = " + kChannel + " :@" + nick + " alice\r\n" +
                     ":bench.server 366 " + nick + " " + kChannel + " :End of NAMES list\r\n");
  require(client.waitForExact(std::string("$HubName ") + kChannel + "|", kWaitLimit), "login");
  require(client.waitForExact("$MyINFO $ALL alice $ $IRC\x01$$0$|", kWaitLimit), "login");
  // The login's passed-over messages are of no further use.
  client.clearSkipped();
  server.clearSkipped();
}

std::string roomName(int index) {
  char name[16];
  std::snprintf(name, sizeof name, "#room%02d", index);
  return name;
}

// The Bridge option that puts a session in every room.
std::string roomOptions() {
  std::string options;
  for (int r = 1; r <= kRooms; ++r) {
    options += ",room=" + roomName(r);
  }
  return options;
}

// What a server answers to one room's JOIN: the echo, a topic of 200
// bytes, names lines of 10-byte nicks up to kRoomMembers with the user's
// own first, and the end of the names.
std::string roomAnswer(const std::string& nick, const std::string& room) {
  std::string answer = ":" + nick + "!~" + nick + "@127.0.0.1 JOIN :" + room + "\r\n" +
                       ":bench.server 332 " + nick + " " + room + " :" + std::string(200, 't') +
                       "\r\n";
  const std::string head = ":bench.server 353 " + nick + " = " + room + " :";
  std::string line = head + nick;
  for (int m = 1; m < kRoomMembers; ++m) {
    char member[16];
    std::snprintf(member, sizeof member, "member%04d", m);
    if (line.size() + 1 + std::strlen(member) > 510) {
      answer += line + "\r\n";
      line = head;
    } else {
      line += ' ';
    }
    line += member;
  }
  answer += line + "\r\n";
  answer += ":bench.server 366 " + nick + " " + room + " :End of NAMES list\r\n";
  return answer;
}

// After the main channel's, the rooms' JOIN, answered for every room. The
// "+rooms" answer then proves the daemon took in every names line: it
// counts each room's members.
void joinRooms(Link& link, const std::string& nick) {
  std::string joins = "JOIN ";
  std::string answers;
  for (int r = 1; r <= kRooms; ++r) {
    joins += (r > 1 ? "," : "") + roomName(r);
    answers += roomAnswer(nick, roomName(r));
  }
  require(link.server.waitForExact(joins + "\r\n", kWaitLimit), "joining the rooms");
  // A line said in the last room, once it reaches the client, shows the
  // daemon has read every answer before it: the client's "+rooms" comes on
  // another connection, which the daemon may read first.
  const std::string last = roomName(kRooms);
  sendTo(link.server, answers + ":member0001!~m@127.0.0.1 PRIVMSG " + last + " :ready\r\n");
  require(link.client.waitForExact("$To: " + nick + " From: " + last + " $<member0001> ready|",
                                   kWaitLimit),
          "a line in a room");
  sendTo(link.client, "<" + nick + "> +rooms|");
  std::string told;
  require(link.client.waitForPrefix("*** Rooms:", &told, kWaitLimit), "+rooms");
  TokenCounter counted(": " + std::to_string(kRoomMembers) + " members");
  counted.feed(told);
  if (counted.count() != kRooms) {
    throw BenchError{"+rooms did not count " + std::to_string(kRoomMembers) +
                     " members in every room: " + told.substr(0, 300)};
  }
  link.client.clearSkipped();
  link.server.clearSkipped();
}

Link openLink(const Path& path, const LoopbackListener& server, const std::string& nick,
              const testing::TestCertificate* certificate = nullptr) {
  Link link;
  link.translated = path.kind == Kind::kQuayside || path.kind == Kind::kTls;
  link.client = MessagePeer(link.translated ? "|" : "\r\n");
  if (!link.client.connect(path.port)) {
    throw BenchError{"cannot connect to 127.0.0.1:" + std::to_string(path.port)};
  }
  if (link.translated) {
    greetAndName(link.client, nick);
  }
  if (path.kind == Kind::kTls) {
    std::string error;
    auto stream = testing::acceptTls(server.accept(kWaitLimit), *certificate, kWaitLimit, &error);
    if (!stream) {
      throw BenchError{"the TLS handshake with the daemon failed: " + error};
    }
    link.server = MessagePeer("\r\n", std::move(stream));
  } else {
    link.server = MessagePeer("\r\n", server.accept(kWaitLimit));
  }
  if (!link.server.connected()) {
    throw BenchError{"no connection arrived at the scripted server"};
  }
  if (link.translated) {
    logIn(link, nick);
  }
  if (path.rooms) {
    joinRooms(link, nick);
  }
  return link;
}

// The scripted IRC server's listener; 500 idle relays connect in a row.
LoopbackListener listenForRelays() {
  LoopbackListener listener(1024);
  if (!listener.valid()) {
    throw BenchError{"cannot listen on 127.0.0.1"};
  }
  return listener;
}

double microsecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// One chat line from the client until the server holds it.
double clientToServer(Link& link, int sample) {
  const std::string text = "lat " + std::to_string(sample);
  const std::string sent =
      link.translated ? "<bob> " + text + "|" : std::string("PRIVMSG #bench :") + text + "\r\n";
  const std::string expected = std::string("PRIVMSG #bench :") + text + "\r\n";
  const auto start = Clock::now();
  sendTo(link.client, sent);
  const std::string received = nextOf(link.server);
  const double elapsed = microsecondsSince(start);
  if (received != expected) {
    throw BenchError{"the server received \"" + received + "\""};
  }
  if (link.translated && nextOf(link.client) != sent) {
    throw BenchError{"the chat line was not echoed"};
  }
  return elapsed;
}

// One channel message from the server until the client holds it.
double serverToClient(Link& link, int sample) {
  const std::string text = "lat " + std::to_string(sample);
  const std::string sent = ":alice!~alice@127.0.0.1 PRIVMSG #bench :" + text + "\r\n";
  const std::string expected = link.translated ? "<alice> " + text + "|" : sent;
  const auto start = Clock::now();
  sendTo(link.server, sent);
  const std::string received = nextOf(link.client);
  const double elapsed = microsecondsSince(start);
  if (received != expected) {
    throw BenchError{"the client received \"" + received + "\""};
  }
  return elapsed;
}

// Sends `lines` chat lines as fast as the connection takes them and counts
// them at the far end; lines per second from the first byte to the last line.
double burst(Link& link, bool towardsServer, int lines) {
  std::string payload;
  char text[64];
  for (int i = 0; i < lines; ++i) {
    if (!towardsServer) {
      std::snprintf(text, sizeof text, ":alice!~alice@127.0.0.1 PRIVMSG #bench :burst %05d\r\n", i);
    } else if (link.translated) {
      std::snprintf(text, sizeof text, "<bob> burst %05d|", i);
    } else {
      std::snprintf(text, sizeof text, "PRIVMSG #bench :burst %05d\r\n", i);
    }
    payload += text;
  }
  const int writer = towardsServer ? link.client.socket() : link.server.socket();
  const int reader = towardsServer ? link.server.socket() : link.client.socket();
  // A TLS server side reads through its stream, and writes from a thread of
  // its own with blocking sends while this one keeps reading the client.
  platform::ByteStream* const tlsReader = towardsServer ? link.server.stream() : nullptr;
  const bool tlsWriter = !towardsServer && link.server.stream() != nullptr;
  // The daemon echoes every chat line; the client must keep reading them or
  // the relay would stall on a full socket.
  const bool echoes = towardsServer && link.translated;
  TokenCounter arrived("burst ");
  TokenCounter echoed("burst ");
  std::size_t written = 0;
  const auto expected = static_cast<std::size_t>(lines);
  const auto start = Clock::now();
  double elapsed = 0;
  const auto deadline = start + std::chrono::seconds(60);
  char chunk[65536];
  std::thread writing;
  if (tlsWriter) {
    writing = std::thread([&] { link.server.send(payload); });
    written = payload.size();
  }
  struct JoinWriter {
    std::thread& thread;
    ~JoinWriter() {
      if (thread.joinable()) {
        thread.join();
      }
    }
  } joinWriter{writing};
  while (arrived.count() < expected || (echoes && echoed.count() < expected)) {
    if (Clock::now() > deadline) {
      throw BenchError{"burst incomplete after 60 s: " + std::to_string(arrived.count()) +
                       " lines arrived"};
    }
    pollfd watched[2] = {{reader, POLLIN, 0}, {writer, 0, 0}};
    if (written < payload.size()) {
      watched[1].events |= POLLOUT;
    }
    if (echoes) {
      watched[1].events |= POLLIN;
    }
    const bool buffered = tlsReader != nullptr && tlsReader->hasBufferedInput();
    if (poll(watched, 2, buffered ? 0 : 1000) < 0 && errno != EINTR) {
      throw BenchError{"poll failed"};
    }
    if (buffered) {
      watched[0].revents |= POLLIN;
    }
    if ((watched[1].revents & POLLOUT) != 0) {
      const ssize_t sent = send(writer, payload.data() + written, payload.size() - written,
                                MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent > 0) {
        written += static_cast<std::size_t>(sent);
      }
    }
    if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const long count = tlsReader != nullptr ? tlsReader->receiveSome(chunk)
                                              : recv(reader, chunk, sizeof chunk, MSG_DONTWAIT);
      if (count == 0) {
        throw BenchError{"connection closed during the burst"};
      }
      if (count > 0) {
        arrived.feed({chunk, static_cast<std::size_t>(count)});
        if (arrived.count() >= expected && elapsed == 0) {
          elapsed = microsecondsSince(start);
        }
      }
    }
    if (echoes && (watched[1].revents & POLLIN) != 0) {
      const ssize_t count = recv(writer, chunk, sizeof chunk, MSG_DONTWAIT);
      if (count > 0) {
        echoed.feed({chunk, static_cast<std::size_t>(count)});
      }
    }
  }
  if (arrived.count() != expected) {
    throw BenchError{"burst delivered " + std::to_string(arrived.count()) + " lines, not " +
                     std::to_string(lines)};
  }
  return static_cast<double>(lines) / (elapsed / 1e6);
}

struct Latency {
  std::vector<double> towardsServer;
  std::vector<double> towardsClient;
};

struct Burst {
  std::vector<double> towardsServer;
  std::vector<double> towardsClient;
  // The daemon's CPU time per line, where the relay's cost shows alone.
  std::vector<double> cpuPerLineTowardsServer;
  std::vector<double> cpuPerLineTowardsClient;
};

// What a daemon whose relays do nothing costs over a while.
struct IdleCost {
  double cpuPerSecond = 0;
  double cpuNsPerSecond = 0;
  double wakeupsPerSecond = 0;
  ProcessSample after;
};

struct Idle {
  int relays = 0;
  double seconds = 0;
  IdleCost cost;
  double kibPerRelay = 0;
  double growthKibPerRelay = 0;
};

struct RoomsMemory {
  int relays = 0;
  double seconds = 0;
  IdleCost cost;
  double kibPerPlainRelay = 0;  // a relay without rooms, over the relays before it
  double kibAbovePlain = 0;     // a relay in the rooms, over one without
};

const char* verdict(bool met) {
  return met ? "met" : "MISSED";
}

// Progress on standard error, so a slow phase on a busy machine is visible.
void progress(const char* phase) {
  static const auto start = Clock::now();
  std::fprintf(stderr, "[%5.1f s] %s\n",
               std::chrono::duration<double>(Clock::now() - start).count(), phase);
}

// Opens `count` links to the Bridge at `path`, clients named prefix0, prefix1, ...
std::vector<Link> openLinks(const Path& path, const LoopbackListener& server,
                            const std::string& prefix, int count) {
  std::vector<Link> links;
  links.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    links.push_back(openLink(path, server, prefix + std::to_string(i)));
  }
  return links;
}

// After a second to settle, the daemon's cost over `seconds` of nothing
// happening.
IdleCost watchIdle(pid_t pid, int seconds) {
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const ProcessSample before = sampleProcess(pid);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  IdleCost cost;
  cost.after = sampleProcess(pid);
  cost.cpuPerSecond = (cost.after.cpuSeconds - before.cpuSeconds) / seconds;
  cost.cpuNsPerSecond =
      static_cast<double>(cost.after.cpuNanoseconds - before.cpuNanoseconds) / seconds;
  cost.wakeupsPerSecond =
      static_cast<double>(cost.after.contextSwitches - before.contextSwitches) / seconds;
  return cost;
}

// Many logged-in relays doing nothing: what do they cost the daemon?
Idle measureIdle(const Settings& settings, const std::string& logPath) {
  const LoopbackListener server = listenForRelays();
  const std::uint16_t port = testing::freePort();
  ChildProcess daemon(
      settings.daemon,
      {"--bridge", std::to_string(port) + "=127.0.0.1:" + std::to_string(server.port()) + "/" +
                       kChannel + ",pace=off,max-sessions=1000"},
      {}, logPath);
  waitUntilListening(port, daemon);
  const ProcessSample empty = sampleProcess(daemon.pid());

  const Path path{"quayside", Kind::kQuayside, port};
  const std::vector<Link> links = openLinks(path, server, "idle", settings.idleRelays);
  progress("measuring idle relays");

  Idle idle;
  idle.relays = settings.idleRelays;
  idle.seconds = settings.idleSeconds;
  idle.cost = watchIdle(daemon.pid(), settings.idleSeconds);
  const ProcessSample& after = idle.cost.after;
  idle.kibPerRelay = static_cast<double>(after.residentKiB) / idle.relays;
  idle.growthKibPerRelay = static_cast<double>(after.residentKiB - empty.residentKiB) / idle.relays;
  return idle;
}

// Relays in every room, beside relays without rooms in the same daemon:
// the difference is what the rooms' state costs (members and topics).
RoomsMemory measureRooms(const Settings& settings, const std::string& logPath) {
  const LoopbackListener server = listenForRelays();
  const Path plain{"plain", Kind::kQuayside, testing::freePort()};
  const Path inRooms{"rooms", Kind::kQuayside, testing::freePort(), true};
  const std::string target = "=127.0.0.1:" + std::to_string(server.port()) + "/" + kChannel +
                             ",pace=off,max-sessions=1000";
  ChildProcess daemon(settings.daemon,
                      {"--bridge", std::to_string(plain.port) + target, "--bridge",
                       std::to_string(inRooms.port) + target + roomOptions()},
                      {}, logPath);
  waitUntilListening(plain.port, daemon);
  waitUntilListening(inRooms.port, daemon);

  // The first relays also pay for the allocator's arenas (every relay is a
  // thread): they warm the daemon up, and the relays after them show what
  // one more costs, without rooms and then in every room.
  const std::vector<Link> warmLinks = openLinks(plain, server, "warm", settings.roomRelays);
  const ProcessSample warm = sampleProcess(daemon.pid());
  const std::vector<Link> plainLinks = openLinks(plain, server, "plain", settings.roomRelays);
  const ProcessSample withPlain = sampleProcess(daemon.pid());
  const std::vector<Link> roomLinks = openLinks(inRooms, server, "rooms", settings.roomRelays);
  progress("measuring relays in rooms");

  RoomsMemory rooms;
  rooms.relays = settings.roomRelays;
  rooms.seconds = settings.idleSeconds;
  rooms.cost = watchIdle(daemon.pid(), settings.idleSeconds);
  const auto growth = [&](const ProcessSample& from, const ProcessSample& to) {
    return (static_cast<double>(to.residentKiB) - static_cast<double>(from.residentKiB)) /
           rooms.relays;
  };
  rooms.kibPerPlainRelay = growth(warm, withPlain);
  rooms.kibAbovePlain = growth(withPlain, rooms.cost.after) - rooms.kibPerPlainRelay;
  return rooms;
}

struct Lingering {
  int sessions = 0;
  double seconds = 0;
  IdleCost cost;
  double attachedMiB = 0;    // the daemon with every session attached and idle
  double lingeringMiB = 0;   // the same sessions lingering with full kept lines
  double kibPerSession = 0;  // the latter over the sessions
  double growthKibPerSession = 0;
  std::string fullWelcome;  // what a client returning to one of them is told
  std::vector<double> replayMs;
};

// Ends the session's client and waits until the server hears the session
// marked away: it lingers.
void detach(Link& link) {
  link.client.close();
  require(link.server.waitForExact(kAwayLine, kWaitLimit), "detaching");
}

// Sends `lines` lines of `textSize` bytes of text to `nick`, in turn to the
// channel and privately (a sender's consecutive lines to one target would
// be kept as one message), then a PING: its answer shows the session has
// taken in every line before it.
void sayWhileDetached(Link& link, const std::string& nick, int lines, std::size_t textSize) {
  std::string payload;
  const std::string filler(textSize - 10, 'k');
  char text[32];
  for (int i = 0; i < lines; ++i) {
    std::snprintf(text, sizeof text, "kept %04d ", i);
    payload += ":alice!~alice@127.0.0.1 PRIVMSG " + (i % 2 == 0 ? kChannel : nick) + " :" + text +
               filler + "\r\n";
  }
  sendTo(link.server, payload + "PING :kept\r\n");
  require(link.server.waitForExact("PONG :kept\r\n", kWaitLimit), "keeping lines");
  link.server.clearSkipped();
}

// What a client taking a lingering session over was shown.
struct Replay {
  double milliseconds = 0;  // from its $MyINFO until the last line said arrived
  int lines = 0;            // kept lines replayed
  std::string welcome;      // "*** Welcome back: ..."
};

// A client takes the lingering session `link` over, to which `said` lines
// were said. The server answers the session's NAMES as it would; the
// replay follows the list.
Replay reattach(Link& link, const Path& path, const std::string& nick, int said) {
  MessagePeer client("|");
  if (!client.connect(path.port)) {
    throw BenchError{"cannot connect to 127.0.0.1:" + std::to_string(path.port)};
  }
  greetAndName(client, nick);
  require(client.waitForExact("$Hello " + nick + "|", kWaitLimit), "re-attaching");
  const auto start = Clock::now();
  sendTo(client, "$Version 1,0091|$GetNickList|" + clientInfo(nick));
  require(link.server.waitForExact(std::string("NAMES ") + kChannel + "\r\n", kWaitLimit),
          "re-attaching");
  sendTo(link.server, ":bench.server 353 " + nick + " = " + kChannel + " :@" + nick +
                          " alice\r\n:bench.server 366 " + nick + " " + kChannel +
                          " :End of NAMES list\r\n");
  Replay replay;
  require(client.waitForPrefix("*** Welcome back: ", &replay.welcome, kWaitLimit), "re-attaching");
  char last[32];
  std::snprintf(last, sizeof last, "kept %04d ", said - 1);
  const std::string privately = "$To: " + nick + " From: alice $<alice> [";
  require(client.waitFor(
              [&](const std::string& message) {
                replay.lines += message.starts_with("<alice> [") || message.starts_with(privately);
                return message.find(last) != std::string::npos;
              },
              "the last kept line", nullptr, kWaitLimit),
          "the replay");
  replay.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  client.clearSkipped();
  link.server.clearSkipped();
  link.client = std::move(client);
  return replay;
}

// Sessions whose clients left (linger=30), each then sent more chat than it
// keeps: what they hold, what they cost while nothing arrives, and how fast
// a returning client is shown a thousand kept lines.
Lingering measureLingering(const Settings& settings, const std::string& logPath) {
  const LoopbackListener server = listenForRelays();
  const Path path{"linger", Kind::kQuayside, testing::freePort()};
  ChildProcess daemon(
      settings.daemon,
      {"--bridge", std::to_string(path.port) + "=127.0.0.1:" + std::to_string(server.port()) + "/" +
                       kChannel + ",pace=off,linger=30,max-sessions=1000"},
      {}, logPath);
  waitUntilListening(path.port, daemon);

  std::vector<Link> links = openLinks(path, server, "linger", settings.lingering);
  Lingering lingering;
  lingering.sessions = settings.lingering;
  const ProcessSample attached = sampleProcess(daemon.pid());
  progress("filling lingering sessions");
  for (Link& link : links) {
    detach(link);
  }
  for (std::size_t i = 0; i < links.size(); ++i) {
    sayWhileDetached(links[i], "linger" + std::to_string(i), kFillLines, kFillText);
  }
  progress("measuring lingering sessions");
  lingering.seconds = settings.idleSeconds;
  lingering.cost = watchIdle(daemon.pid(), settings.idleSeconds);
  const auto resident = static_cast<double>(lingering.cost.after.residentKiB);
  lingering.attachedMiB = static_cast<double>(attached.residentKiB) / 1024;
  lingering.lingeringMiB = resident / 1024;
  lingering.kibPerSession = resident / lingering.sessions;
  lingering.growthKibPerSession =
      (resident - static_cast<double>(attached.residentKiB)) / lingering.sessions;

  // Full indeed: a client returning to one is told older lines went.
  const Replay full = reattach(links.front(), path, "linger0", kFillLines);
  if (full.welcome.find("not kept") == std::string::npos) {
    throw BenchError{"a lingering session's kept lines were not full: " + full.welcome};
  }
  lingering.fullWelcome = full.welcome.substr(0, full.welcome.size() - 1);

  // A session of its own: the others keep longer lines, fewer than a
  // thousand of them.
  progress("timing re-attaches");
  const std::string nick = "back";
  Link back = openLink(path, server, nick);
  for (int run = 0; run < settings.replays; ++run) {
    detach(back);
    sayWhileDetached(back, nick, kReplayLines, kReplayText);
    const Replay replay = reattach(back, path, nick, kReplayLines);
    if (replay.lines != kReplayLines) {
      throw BenchError{"the replay held " + std::to_string(replay.lines) + " lines, not " +
                       std::to_string(kReplayLines)};
    }
    lingering.replayMs.push_back(replay.milliseconds);
  }
  return lingering;
}

int run(const Settings& settings) {
  raiseFileLimit();
  std::signal(SIGPIPE, SIG_IGN);
  const std::string logFolder = "/tmp/quayside-bench-" + std::to_string(getpid());
  mkdir(logFolder.c_str(), 0755);

  const LoopbackListener server = listenForRelays();
  std::vector<Path> paths = {{"direct", Kind::kDirect, server.port()},
                             {"socat", Kind::kSocat, testing::freePort()},
                             {"quayside", Kind::kQuayside, testing::freePort()},
                             {"tls", Kind::kTls, testing::freePort()}};
  // The scripted server's TLS side: a certificate made now, pinned by its
  // fingerprint, so no trust store is involved.
  const testing::TestCertificate certificate =
      testing::makeServerCertificate({"localhost"}, {"127.0.0.1"});
  ChildProcess socat(
      settings.socat,
      {"TCP-LISTEN:" + std::to_string(paths[1].port) + ",bind=127.0.0.1,reuseaddr,fork",
       "TCP:127.0.0.1:" + std::to_string(server.port())},
      {}, logFolder + "/socat.log");
  ChildProcess daemon(
      settings.daemon,
      {"--bridge",
       std::to_string(paths[2].port) + "=127.0.0.1:" + std::to_string(server.port()) + "/" +
           kChannel + ",pace=off",
       "--bridge",
       std::to_string(paths[3].port) + "=ircs://127.0.0.1:" + std::to_string(server.port()) + "/" +
           kChannel + ",pace=off,fingerprint=" + certificate.fingerprint},
      {}, logFolder + "/daemon.log");
  waitUntilListening(paths[1].port, socat);
  waitUntilListening(paths[2].port, daemon);
  waitUntilListening(paths[3].port, daemon);

  progress("connecting the four paths");
  std::vector<Link> links;
  for (const Path& path : paths) {
    links.push_back(openLink(path, server, "bob", &certificate));
  }
  progress("measuring latency");

  // Warm-up, then rounds that give every path its turn, so a noisy moment
  // on the shared machine hurts all of them alike.
  std::map<std::string, Latency> latency;
  for (std::size_t p = 0; p < paths.size(); ++p) {
    for (int i = 0; i < 200; ++i) {
      clientToServer(links[p], i);
      serverToClient(links[p], i);
    }
  }
  int sample = 0;
  for (int round = 0; round < settings.rounds; ++round) {
    for (std::size_t p = 0; p < paths.size(); ++p) {
      Latency& into = latency[paths[p].name];
      for (int i = 0; i < settings.perRound; ++i) {
        into.towardsServer.push_back(clientToServer(links[p], ++sample));
        into.towardsClient.push_back(serverToClient(links[p], ++sample));
      }
    }
  }

  progress("measuring bursts");
  std::map<std::string, Burst> bursts;
  for (int repeat = 0; repeat < settings.burstRepeats; ++repeat) {
    for (std::size_t p = 0; p < paths.size(); ++p) {
      Burst& into = bursts[paths[p].name];
      const bool watched = paths[p].kind == Kind::kQuayside || paths[p].kind == Kind::kTls;
      for (const bool towardsServer : {true, false}) {
        const ProcessSample before = watched ? sampleProcess(daemon.pid()) : ProcessSample{};
        const double rate = burst(links[p], towardsServer, settings.burstLines);
        (towardsServer ? into.towardsServer : into.towardsClient).push_back(rate);
        if (watched) {
          const ProcessSample after = sampleProcess(daemon.pid());
          const double perLine = static_cast<double>(after.cpuNanoseconds - before.cpuNanoseconds) /
                                 1000.0 / settings.burstLines;
          (towardsServer ? into.cpuPerLineTowardsServer : into.cpuPerLineTowardsClient)
              .push_back(perLine);
        }
      }
    }
  }
  links.clear();
  daemon.stop();
  socat.stop();

  progress("opening idle relays");
  const Idle idle = measureIdle(settings, logFolder + "/daemon-idle.log");
  progress("opening relays in rooms");
  const RoomsMemory rooms = measureRooms(settings, logFolder + "/daemon-rooms.log");
  progress("opening sessions to linger");
  Lingering lingering = measureLingering(settings, logFolder + "/daemon-linger.log");
  progress("done");

  const int samples = settings.rounds * settings.perRound;
  std::printf(
      "\nQuayside whole-path benchmark (loopback; %d samples per direction and path, "
      "interleaved)\n\n",
      samples);
  std::printf("Chat-line latency, one way, microseconds\n");
  std::printf("  %-10s %14s %10s %14s %10s\n", "path", "client>server", "", "server>client", "");
  std::printf("  %-10s %14s %10s %14s %10s\n", "", "median", "p99", "median", "p99");
  std::map<std::string, std::array<double, 4>> figures;
  for (const Path& path : paths) {
    Latency& l = latency[path.name];
    auto& f = figures[path.name];
    f = {quantile(l.towardsServer, 0.5), quantile(l.towardsServer, 0.99),
         quantile(l.towardsClient, 0.5), quantile(l.towardsClient, 0.99)};
    std::printf("  %-10s %14.1f %10.1f %14.1f %10.1f\n", path.name, f[0], f[1], f[2], f[3]);
  }
  std::printf("\nBurst of %d chat lines, lines per second (median of %d)\n", settings.burstLines,
              settings.burstRepeats);
  std::printf("  %-10s %14s %14s\n", "path", "client>server", "server>client");
  std::map<std::string, std::array<double, 2>> rates;
  for (const Path& path : paths) {
    Burst& b = bursts[path.name];
    auto& r = rates[path.name];
    r = {quantile(b.towardsServer, 0.5), quantile(b.towardsClient, 0.5)};
    std::printf("  %-10s %14.0f %14.0f\n", path.name, r[0], r[1]);
  }
  for (const char* name : {"quayside", "tls"}) {
    Burst& relayed = bursts[name];
    std::printf("  %-10s %14.2f %14.2f   (daemon CPU microseconds per line)\n", name,
                quantile(relayed.cpuPerLineTowardsServer, 0.5),
                quantile(relayed.cpuPerLineTowardsClient, 0.5));
  }
  std::printf("\nIdle: %d logged-in relays through quayside-daemon, %.0f s\n", idle.relays,
              idle.seconds);
  std::printf("  CPU seconds per idle second  %.4f (scheduler: %.0f ns/s)\n",
              idle.cost.cpuPerSecond, idle.cost.cpuNsPerSecond);
  std::printf("  wake-ups per second          %.1f\n", idle.cost.wakeupsPerSecond);
  std::printf("  resident memory per relay    %.1f KiB (growth over an empty daemon: %.1f KiB)\n",
              idle.kibPerRelay, idle.growthKibPerRelay);
  std::printf("  daemon threads               %" PRIu64 "\n", idle.cost.after.threads);
  std::printf(
      "\nRooms: %d relays each in %d rooms of %d members, beside %d without rooms, %.0f s\n",
      rooms.relays, kRooms, kRoomMembers, 2 * rooms.relays, rooms.seconds);
  std::printf(
      "  rooms: %d x %d members: %.1f KiB per relay above an idle one (which takes %.1f KiB)\n",
      kRooms, kRoomMembers, rooms.kibAbovePlain, rooms.kibPerPlainRelay);
  std::printf("  CPU seconds per idle second  %.4f (scheduler: %.0f ns/s)\n",
              rooms.cost.cpuPerSecond, rooms.cost.cpuNsPerSecond);
  std::printf("  wake-ups per second          %.1f\n", rooms.cost.wakeupsPerSecond);
  std::printf(
      "\nLingering: %d sessions (linger=30) whose clients left, each sent %d lines of %zu "
      "bytes, %.0f s\n",
      lingering.sessions, kFillLines, kFillText, lingering.seconds);
  std::printf("  resident memory, all         %.1f MiB (%.1f MiB while attached)\n",
              lingering.lingeringMiB, lingering.attachedMiB);
  std::printf("  resident memory per session  %.1f KiB (%.1f KiB above an attached one)\n",
              lingering.kibPerSession, lingering.growthKibPerSession);
  std::printf("  CPU seconds per idle second  %.4f (scheduler: %.0f ns/s)\n",
              lingering.cost.cpuPerSecond, lingering.cost.cpuNsPerSecond);
  std::printf("  wake-ups per second          %.1f\n", lingering.cost.wakeupsPerSecond);
  std::printf("  a client returning is told   %s\n", lingering.fullWelcome.c_str());
  const double replayMs = quantile(lingering.replayMs, 0.5);
  std::printf("  re-attach replaying %d lines, $MyINFO to the last: %.1f ms (median of %zu)\n",
              kReplayLines, replayMs, lingering.replayMs.size());

  const auto& q = figures["quayside"];
  const auto& s = figures["socat"];
  std::printf("\nGoals\n");
  std::printf("  median latency client>server <= socat's   %-7s (%.1f vs %.1f us)\n",
              verdict(q[0] <= s[0]), q[0], s[0]);
  std::printf("  median latency server>client <= socat's   %-7s (%.1f vs %.1f us)\n",
              verdict(q[2] <= s[2]), q[2], s[2]);
  std::printf("  p99 latency under 2 ms, both ways         %-7s (%.1f, %.1f us)\n",
              verdict(q[1] < 2000 && q[3] < 2000), q[1], q[3]);
  const auto& t = figures["tls"];
  std::printf("  TLS adds at most 20 us to median latency  %-7s (+%.1f, +%.1f us)\n",
              verdict(t[0] - q[0] <= 20 && t[2] - q[2] <= 20), t[0] - q[0], t[2] - q[2]);
  const auto& qr = rates["quayside"];
  const auto& sr = rates["socat"];
  std::printf("  burst client>server >= half of socat's    %-7s (%.0f vs %.0f lines/s)\n",
              verdict(qr[0] >= sr[0] / 2), qr[0], sr[0]);
  std::printf("  burst server>client >= half of socat's    %-7s (%.0f vs %.0f lines/s)\n",
              verdict(qr[1] >= sr[1] / 2), qr[1], sr[1]);
  std::printf("  no CPU while idle                         %-7s\n",
              verdict(idle.cost.cpuPerSecond == 0));
  std::printf("  no wake-ups while idle                    %-7s\n",
              verdict(idle.cost.wakeupsPerSecond == 0));
  std::printf("  at most 80 KiB resident per idle relay    %-7s\n",
              verdict(idle.kibPerRelay <= 80));
  std::printf("  rooms: at most 512 KiB more per relay     %-7s (%.1f KiB)\n",
              verdict(rooms.kibAbovePlain <= 512), rooms.kibAbovePlain);
  std::printf("  rooms: no CPU and no wake-ups while idle  %-7s\n",
              verdict(rooms.cost.cpuPerSecond == 0 && rooms.cost.wakeupsPerSecond == 0));
  std::printf("  lingering: %3d full sessions under 40 MiB %-7s (%.1f MiB)\n", lingering.sessions,
              verdict(lingering.lingeringMiB < 40), lingering.lingeringMiB);
  std::printf("  lingering: no CPU and no wake-ups idle    %-7s\n",
              verdict(lingering.cost.cpuPerSecond == 0 && lingering.cost.wakeupsPerSecond == 0));
  std::printf("  re-attach replays %d lines in < 100 ms  %-7s (%.1f ms)\n", kReplayLines,
              verdict(replayMs < 100), replayMs);
  // The logs only matter when something went wrong.
  std::error_code ignored;
  std::filesystem::remove_all(logFolder, ignored);
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: quayside-bench [--daemon PATH] [--socat PATH] [--quick]\n"
               "  --quick  fewer samples, 1,000-line bursts, 50 idle relays and 10 lingering\n"
               "           sessions (a smoke run)\n");
  return 2;
}

}  // namespace
}  // namespace quayside::bench

int main(int argc, char** argv) {
  using namespace quayside::bench;
  Settings settings;
  settings.socat = quayside::testing::findProgram("socat");
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--daemon" && i + 1 < argc) {
      settings.daemon = argv[++i];
    } else if (argument == "--socat" && i + 1 < argc) {
      settings.socat = argv[++i];
    } else if (argument == "--quick") {
      settings.rounds = 2;
      settings.perRound = 100;
      settings.burstLines = 1000;
      settings.burstRepeats = 1;
      settings.idleRelays = 50;
      settings.idleSeconds = 2;
      settings.lingering = 10;
      settings.replays = 2;
    } else {
      return usage();
    }
  }
  if (settings.socat.empty()) {
    std::fprintf(stderr, "quayside-bench: socat not found (apt-get install socat)\n");
    return 1;
  }
  try {
    return run(settings);
  } catch (const BenchError& error) {
    std::fprintf(stderr, "quayside-bench: %s (logs in /tmp/quayside-bench-%d)\n",
                 error.what.c_str(), static_cast<int>(getpid()));
    return 1;
  }
}
