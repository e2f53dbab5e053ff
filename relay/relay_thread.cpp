#include "relay/relay_thread.h"

#include "core/server_address.h"
#include "platform/charset.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/password_hash.h"
#include "platform/stream.h"
#include "platform/tls.h"
#include "platform/wait.h"
#include "relay/pacer.h"
#include "relay/refusal_holds.h"
#include "relay/registry.h"
#include "translate/client_charset.h"
#include "translate/composer.h"
#include "translate/nmdc_text.h"
#include "translate/session_lines.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace quayside {
namespace {

using Clock = std::chrono::steady_clock;

// How long a client that was told why its session ends may take to close
// its side before its connection is closed anyway.
constexpr auto kCloseGrace = std::chrono::seconds(2);

// Why a Relay ended, and whether the user's side ended it (then the client
// is gone or was already told, so it gets no status line).
struct End {
  End(std::string why, bool client = false, EndKind endKind = EndKind::kFailure,
      std::optional<HoldCause> holdCause = std::nullopt)
      : reason(std::move(why)), byClient(client), kind(endKind), hold(holdCause) {}

  std::string reason;
  bool byClient = false;
  EndKind kind = EndKind::kFailure;
  std::string detail;             // what a kick told the user, for its hold
  bool stopped = false;           // Quayside is stopping: the server gets a QUIT
  std::size_t unsent = 0;         // lines that were waiting for the server, dropped
  std::optional<HoldCause> hold;  // set when retrying at once cannot help
};

// How the window classifies an end the translations caused.
EndKind endKindOf(EndCause cause) {
  switch (cause) {
    case EndCause::kPasswordRefused:
      return EndKind::kPasswordRefused;
    case EndCause::kNickRefused:
      return EndKind::kNickRefused;
    case EndCause::kKicked:
      return EndKind::kByClient;
    case EndCause::kServerError:
    case EndCause::kOther:
      break;
  }
  return EndKind::kFailure;
}

// Which ends the translations caused hold the nick's retries off.
std::optional<HoldCause> holdOf(EndCause cause) {
  switch (cause) {
    case EndCause::kPasswordRefused:
      return HoldCause::kPassword;
    case EndCause::kNickRefused:
      return HoldCause::kNicks;
    case EndCause::kKicked:
      return HoldCause::kKick;
    case EndCause::kServerError:
      return HoldCause::kServerError;
    case EndCause::kOther:
      break;
  }
  return std::nullopt;
}

constexpr std::string_view kUntrustedCertificate = "the server's certificate is not trusted";
constexpr std::string_view kCertificateForOtherHost = "the certificate is for another host name";
constexpr std::string_view kNotResolved = "server name does not resolve";
constexpr std::string_view kNotConnected = "cannot connect to the server";
constexpr std::string_view kConnectTimedOut = "connecting to the server timed out";
constexpr std::string_view kTlsTimedOut = "TLS handshake timed out";
constexpr std::string_view kTlsFailed = "TLS handshake failed";

// Which failures to connect hold every nick's retries off: the server's
// answer, not this machine's.
std::optional<HoldCause> holdOf(std::string_view connectFailure) {
  if (connectFailure == kUntrustedCertificate || connectFailure == kCertificateForOtherHost) {
    return HoldCause::kCertificate;
  }
  for (const std::string_view unreachable :
       {kNotResolved, kNotConnected, kConnectTimedOut, kTlsTimedOut, kTlsFailed}) {
    if (connectFailure == unreachable) {
      return HoldCause::kUnreachable;
    }
  }
  return std::nullopt;
}

// Production output. The translations compose straight into one growing
// buffer per socket; what they commit while the relay handles one receive
// leaves in one send per socket when the receive is done, so a burst of chat
// lines costs two sends per receive instead of two per line. With pacing on,
// the server's lines go through the pacer instead.
class SocketOutput final : public RelayOutput {
 public:
  SocketOutput(Relay& relay, platform::ByteStream& server)
      : relay_(relay),
        server_(server),
        pacer_([this](std::string_view bytes) { deliver(Peer::kServer, bytes); }) {}

  std::span<char> area(Peer peer) override { return pending(peer).area(); }

  void commit(Peer peer, std::size_t size) override {
    if (peer == Peer::kClient && relay_.clientSocket == kNoSocket) {
      return;  // the client was kicked: nothing more reaches it
    }
    Pending& held = pending(peer);
    held.size += size;
    // Past this much, gathered bytes go out at once, which also bounds memory.
    if (held.size >= kGatherLimit) {
      send(peer);
    }
  }

  void closeClient() override {
    // What the client was told before (the kick) still reaches it.
    send(Peer::kClient);
    platform::closeSocket(relay_.clientSocket);
  }

  // Sends what was gathered, one send per socket. The buffers stay for the
  // next receive of a burst.
  void flush() {
    send(Peer::kServer);
    send(Peer::kClient);
  }

  // Lets the buffers go once the relay turns idle: an idle relay holds no
  // output memory. (Freeing them after every receive instead would make the
  // allocator hand memory back and fault it in again for every receive.)
  bool holdsMemory() const { return toClient_.bytes || toServer_.bytes; }
  void release() {
    toClient_.release();
    toServer_.release();
  }

  Pacer& pacer() { return pacer_; }

  // CTCP replies: within the limiter's rate, and with pacing only while no
  // line waits (so at most AnswerLimiter::kBurst replies, 2 KiB, ever wait).
  bool mayAnswer() override {
    const AnswerLimiter::Verdict verdict = relay_.options.pace && pacer_.queuedBytes() > 0
                                               ? limiter_.refuse()
                                               : limiter_.take(Clock::now());
    refusalsBegan_ |= verdict == AnswerLimiter::Verdict::kFirstRefused;
    return verdict == AnswerLimiter::Verdict::kSend;
  }

  // Whether a run of refused answers began since the last call.
  bool takeRefusalsBegan() { return std::exchange(refusalsBegan_, false); }

  void dropWaiting() override;

  // Tells the client a status line, in its character set, with the next flush.
  void tellClient(std::string text);

  // Sends `bytes` to `peer` now. Once a peer has stopped reading, nothing
  // more is sent to it: each send would wait out the limit again.
  void deliver(Peer peer, std::string_view bytes) {
    if (stalled_ == peer) {
      return;
    }
    const bool timedOut = peer == Peer::kServer
                              ? server_.sendAll(bytes).timedOut()
                              : platform::sendAll(relay_.clientSocket, bytes).timedOut();
    if (timedOut && !stalled_) {
      stalled_ = peer;
    }
  }

  // The peer that took no bytes within the send limit, if one did.
  std::optional<Peer> stalled() const { return stalled_; }

 private:
  static constexpr std::size_t kGatherLimit = std::size_t{64} * 1024;

  struct Pending {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
    std::size_t capacity = 0;

    std::span<char> area() {
      if (capacity - size < kOutCapacity) {
        // Room for two more full groups, so a burst grows the buffer rarely.
        const std::size_t grown = size + 2 * kOutCapacity;
        std::unique_ptr<char[]> larger(new char[grown]);
        if (size > 0) {
          std::memcpy(larger.get(), bytes.get(), size);
        }
        bytes = std::move(larger);
        capacity = grown;
      }
      return {bytes.get() + size, kOutCapacity};
    }

    void release() {
      bytes.reset();
      size = 0;
      capacity = 0;
    }
  };

  Pending& pending(Peer peer) { return peer == Peer::kClient ? toClient_ : toServer_; }

  // A paste that leaves more than this many lines waiting is announced.
  static constexpr std::size_t kToldPaste = 10;
  void tellProgress(const Pacer::Queued& queued);

  void send(Peer peer) {
    Pending& held = pending(peer);
    const std::string_view bytes(held.bytes.get(), held.size);
    held.size = 0;
    if (bytes.empty()) {
      return;
    }
    if (peer == Peer::kServer) {
      if (relay_.options.pace) {
        tellProgress(pacer_.add(bytes, Clock::now()));
      } else {
        deliver(peer, bytes);
      }
    } else if (relay_.clientSocket != kNoSocket) {
      deliver(peer, bytes);
    }
  }

  Relay& relay_;
  platform::ByteStream& server_;
  Pacer pacer_;
  AnswerLimiter limiter_;
  bool refusalsBegan_ = false;
  std::optional<Peer> stalled_;
  Pending toClient_;
  Pending toServer_;
};

// What a refused certificate is, and how to trust it anyway.
std::string certificateDetail(const platform::TlsStart& tls, std::string_view trust) {
  std::string detail = tls.error;
  if (!tls.fingerprint.empty()) {
    detail += "; SHA-256 fingerprint " + platform::colonFingerprint(tls.fingerprint) + "; " +
              std::string(trust) + ", set the option fingerprint=" + tls.fingerprint;
  }
  return detail;
}

// The TLS session over the connected `server`, verified for `host`; returns
// why it could not start, or an empty view.
std::string_view startTls(Relay& relay, std::string_view host,
                          std::unique_ptr<platform::ByteStream>& server, std::string& detail) {
  platform::TlsStart tls = platform::startTls(
      std::move(server), {std::string(host), std::string(relay.options.fingerprint.view())});
  relay.serverFingerprint.assign(tls.fingerprint);
  switch (tls.failure) {
    case platform::TlsFailure::kNone:
      server = std::move(tls.stream);
      return {};
    case platform::TlsFailure::kUntrusted:
      detail = certificateDetail(tls, "to trust it");
      return kUntrustedCertificate;
    case platform::TlsFailure::kWrongHost:
      tls.error = "it does not name " + std::string(host);
      detail = certificateDetail(tls, "to trust it anyway");
      return kCertificateForOtherHost;
    case platform::TlsFailure::kTimedOut:
      detail = tls.error + " (is the port a plain-text one?)";
      return kTlsTimedOut;
    case platform::TlsFailure::kFailed:
      break;
  }
  detail = tls.error;
  return kTlsFailed;
}

// Resolves and connects to the server (TLS for ircs://). Returns why the
// Relay must end, or an empty view when it is connected. The stream goes to
// `server`; relay.serverSocket names its handle.
std::string_view connectServer(Relay& relay, std::unique_ptr<platform::ByteStream>& server,
                               std::string& detail) {
  const ServerAddress endpoint = parseServerAddress(relay.serverText.view(), relay.upstreamKind);
  if (!endpoint.problem.empty()) {
    detail = endpoint.problem;
    return "the server text cannot be used";
  }
  platform::Connection connection = platform::connectTcp(std::string(endpoint.host), endpoint.port);
  relay.serverAddress.assign(connection.address);
  relay.serverPort = endpoint.port;
  switch (connection.failure) {
    case platform::ConnectFailure::kNone:
      break;
    case platform::ConnectFailure::kNotResolved:
      // The resolver's words differ from one system to the next; the log
      // keeps the one plain reason.
      return kNotResolved;
    case platform::ConnectFailure::kNoSocket:
      detail = connection.error;
      return "cannot create the server socket";
    case platform::ConnectFailure::kNotConnected:
      detail = connection.error;
      return kNotConnected;
    case platform::ConnectFailure::kTimedOut:
      detail = connection.error;
      return kConnectTimedOut;
  }
  server = std::move(connection.stream);
  if (endpoint.tls()) {
    if (const std::string_view failure = startTls(relay, endpoint.host, server, detail);
        !failure.empty()) {
      return failure;
    }
  }
  relay.serverSocket = server->handle();
  return {};
}

// One receive on one side and the translation of every complete message.
// A plain connection to a TLS port: the server's first bytes are a TLS
// record header (an alert, the answer to our plain text), or it closes
// before saying a line.
constexpr std::string_view kTlsHint = " (does this port expect TLS? try ircs://)";
constexpr std::string_view kAnsweredInTls =
    "the server answered in TLS (does this port expect TLS? try ircs://)";

bool isTlsRecord(std::span<const char> bytes) {
  const auto type = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]);
  return bytes.size() >= 2 && type >= 0x14 && type <= 0x17 && bytes[1] == '\x03';
}

// `firstFromPlainServer`: nothing came yet from a server spoken to without TLS.
std::string_view readStep(Relay& relay, Stream stream, platform::ByteStream& server,
                          Translator& translator, SocketOutput& out, RelayObserver* observer,
                          bool firstFromPlainServer = false) {
  const std::span<char> area = receiveArea(relay, stream);
  const long count = stream == Stream::kClient
                         ? platform::receiveSome(relay.clientSocket, area.data(), area.size())
                         : server.receiveSome(area);
  if (count == 0) {
    return stream == Stream::kClient ? "client closed the connection"
                                     : "server closed the connection";
  }
  if (count == platform::kNoBytesYet) {
    return {};  // a TLS record not yet whole, or one of TLS's own
  }
  if (count < 0) {
    return stream == Stream::kClient ? "client connection failed" : "server connection failed";
  }
  if (firstFromPlainServer && isTlsRecord(area.first(static_cast<std::size_t>(count)))) {
    return kAnsweredInTls;
  }
  received(relay, stream, static_cast<std::size_t>(count), translator, out);
  out.flush();
  if (out.takeRefusalsBegan() && observer != nullptr) {
    observer->relayNote(relay, "CTCP requests refused: more than " +
                                   std::to_string(AnswerLimiter::kBurst) + " in " +
                                   std::to_string(AnswerLimiter::kWindow.count()) +
                                   " s, or lines still waiting (one line per burst)");
  }
  return {};
}

// "60 seconds", or milliseconds when the time is not whole seconds (tests).
std::string spoken(std::chrono::milliseconds time) {
  if (time.count() % 1000 == 0) {
    const auto seconds = time.count() / 1000;
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
  }
  return std::to_string(time.count()) + " milliseconds";
}

// Relays until either side ends; returns why. Besides the two sockets the
// wait watches the server's deadlines: the welcome after the connect, a
// PING after a long silence and the end when that PING stays unanswered;
// and the time the next paced line is due, while lines wait. `early` is what
// the client sent before the connect, framed first.
End relayTrafficWith(SocketOutput& out, Relay& relay, platform::ByteStream& server,
                     Translator& translator, RelayObserver* observer, const RelayTimeouts& timeouts,
                     std::string_view early) {
  if (!early.empty()) {
    feed(relay, Stream::kClient, early, translator, out);
    out.flush();
  }
  const Clock::time_point welcomeBy = Clock::now() + timeouts.registration;
  Clock::time_point heardAt = Clock::now();
  Clock::time_point pingedAt;
  bool pinged = false;
  bool heard = false;
  bool toldWelcome = false;
  const bool plain = !parseServerAddress(relay.serverText.view(), relay.upstreamKind).tls();
  bool heardAny = false;
  const SocketHandle stopHandle = relayStopHandle();
  for (;;) {
    if (relaysStopping()) {
      End stop(std::string(kStopReason), false, EndKind::kByClient);
      stop.stopped = true;
      return stop;
    }
    // The translation ended the session. When it closed the client (a kick,
    // a refused password) the client was told already.
    if (const std::optional<SessionEnd>& ended = out.sessionEnd()) {
      End end(ended->reason, relay.clientSocket == kNoSocket, endKindOf(ended->cause),
              holdOf(ended->cause));
      end.detail = ended->detail;
      return end;
    }
    if (relay.clientSocket == kNoSocket) {
      return {"client was kicked from the channel", true, EndKind::kByClient};
    }
    if (const std::optional<Peer> stalled = out.stalled()) {
      // A client that stopped reading cannot be told why.
      const bool client = *stalled == Peer::kClient;
      return {std::string(client ? "the client" : "the server") +
                  " stopped reading: nothing could be sent to it for " + spoken(timeouts.send),
              client};
    }
    // One clock reading per pass: it dates the last receive as well.
    const Clock::time_point now = Clock::now();
    if (heard) {
      heardAt = now;
      pinged = false;
      heard = false;
    }
    const bool welcomed = (relay.loginFlags & kLoginWelcomed) != 0;
    if (welcomed && !toldWelcome) {
      toldWelcome = true;
      if (relay.holds) {
        relay.holds->welcomed(relay.nick.view());
      }
      if (observer != nullptr) {
        observer->relayWelcomed(relay);
      }
    }
    if (!welcomed && now >= welcomeBy) {
      return {"the server sent no welcome within " + spoken(timeouts.registration)};
    }
    if (pinged && now >= pingedAt + timeouts.reply) {
      return {"the server stopped answering (no reply to a PING within " + spoken(timeouts.reply) +
              ")"};
    }
    if (!pinged && now >= heardAt + timeouts.idle) {
      out.deliver(Peer::kServer, kLivenessPing);
      pingedAt = now;
      pinged = true;
    }
    Pacer& pacer = out.pacer();
    pacer.sendDue(now);
    Clock::time_point due = pinged ? pingedAt + timeouts.reply : heardAt + timeouts.idle;
    if (!welcomed) {
      due = std::min(due, welcomeBy);
    }
    if (const std::optional<Clock::time_point> sendAt = pacer.nextSendAt()) {
      due = std::min(due, *sendAt);
    }

    // One wait for both sides, until the nearest deadline: nothing is
    // delayed by polling and an idle Relay sleeps until a timer is due.
    // When bytes already wait inside the server stream, the client is only
    // checked, not waited for. A relay that still holds output memory only
    // looks, and lets the memory go before it waits for real. While the
    // pacer holds more than it should, the client is not read: its bytes
    // wait in the socket, and the client's sending slows down.
    const bool serverBuffered = server.hasBufferedInput();
    const bool onlyLook = serverBuffered || out.holdsMemory();
    // The stop handle wakes the relay when Quayside stops; the next pass ends it.
    // While the client is not read, its close or reset is still watched
    // for: a user who leaves mid-paste must not go on speaking.
    const bool holdingClient = pacer.full();
    std::array<platform::WaitEntry, 3> ready{{{relay.clientSocket, false, holdingClient},
                                              {server.handle(), false},
                                              {stopHandle, false}}};
    const std::chrono::milliseconds timeout =
        onlyLook ? std::chrono::milliseconds(0)
                 : std::chrono::ceil<std::chrono::milliseconds>(due - now);
    const platform::WaitStatus status = platform::waitReadable(ready, timeout).status;
    if (status == platform::WaitStatus::kFailed) {
      return {"waiting for data failed"};
    }
    if (status == platform::WaitStatus::kTimedOut && !serverBuffered) {
      out.release();
      continue;
    }
    if (ready[0].readable && holdingClient) {
      return {"client closed the connection", true, EndKind::kByClient};
    }
    if (ready[0].readable) {
      if (const std::string_view end =
              readStep(relay, Stream::kClient, server, translator, out, observer);
          !end.empty()) {
        return {std::string(end), true, EndKind::kByClient};
      }
    }
    // A server that stopped reading is the end, whatever it sent meanwhile
    // (a TLS stream cannot be read after a send it gave up on).
    if ((ready[1].readable || serverBuffered) && relay.clientSocket != kNoSocket &&
        !out.stalled()) {
      if (const std::string_view end = readStep(relay, Stream::kServer, server, translator, out,
                                                observer, plain && !heardAny);
          !end.empty()) {
        const bool silentClose = plain && !heardAny && end == "server closed the connection";
        return {std::string(end) + std::string(silentClose ? kTlsHint : std::string_view())};
      }
      heard = true;
      heardAny = true;
    }
  }
}

// Relays (relayTrafficWith) and counts the lines still waiting for the
// server at the end, which are dropped: the log says how many, and so does
// the client when it is still there.
End relayTraffic(Relay& relay, platform::ByteStream& server, Translator& translator,
                 RelayObserver* observer, const RelayTimeouts& timeouts, std::string_view early) {
  SocketOutput out(relay, server);
  End end = relayTrafficWith(out, relay, server, translator, observer, timeouts, early);
  end.unsent = out.pacer().queuedLines();
  return end;
}

// The server as the user knows it: host and port, or the text itself when
// it names no server.
std::string serverName(const Relay& relay) {
  const ServerAddress address = parseServerAddress(relay.serverText.view(), relay.upstreamKind);
  if (!address.problem.empty() || address.host.empty()) {
    return "\"" + std::string(relay.serverText.view()) + "\"";
  }
  const bool literal = address.host.find(':') != std::string_view::npos;
  return (literal ? "[" + std::string(address.host) + "]" : std::string(address.host)) + ":" +
         std::to_string(address.port);
}

// A failure to connect in the user's words: the system's own reason alone
// where ours only says the connect failed ("connection refused").
std::string connectFailureWords(std::string_view reason, const std::string& detail) {
  if (reason == kNotConnected && !detail.empty()) {
    std::string words = detail;
    if (words[0] >= 'A' && words[0] <= 'Z' &&
        (words.size() < 2 || words[1] < 'A' || words[1] > 'Z')) {
      words[0] = static_cast<char>(words[0] - 'A' + 'a');
    }
    return words;
  }
  if (reason == kNotResolved) {
    return "the server name does not resolve";
  }
  return detail.empty() ? std::string(reason) : std::string(reason) + ": " + detail;
}

// "about 6 minutes", "about 40 seconds".
std::string about(std::chrono::seconds time) {
  if (time < std::chrono::minutes(1)) {
    return "about " + std::to_string(time.count()) + (time.count() == 1 ? " second" : " seconds");
  }
  const auto minutes = (time.count() + 30) / 60;
  return "about " + std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

std::string linesText(std::size_t lines) {
  return std::to_string(lines) + (lines == 1 ? " line" : " lines");
}

void SocketOutput::tellClient(std::string text) {
  if (relay_.clientSocket == kNoSocket) {
    return;
  }
  std::string bytes;
  appendStatusLine(bytes, std::move(text), clientEncoding(relay_));
  RelayOutput::send(Peer::kClient, bytes);
}

void SocketOutput::tellProgress(const Pacer::Queued& queued) {
  if (queued.waiting > kToldPaste && !queued.target.empty()) {
    tellClient("Sending " + linesText(queued.lines) + " to " + queued.target + ": " +
               about(queued.until));
  }
}

void SocketOutput::dropWaiting() {
  const std::size_t dropped = pacer_.dropWaiting();
  tellClient(dropped == 0 ? std::string("Nothing was waiting to be sent")
                          : "Stopped: " + linesText(dropped) + " waiting to be sent dropped");
}

// Closes the client's connection so that what it was just told arrives. A
// close with the client's commands still unread (its answer to the lock)
// resets the connection, and a reset may discard the status lines before
// the client reads them; so the relay stops sending and reads until the
// client closes, for a short while at most.
void closeClientAfterTelling(SocketHandle& socket) {
  platform::shutdownSending(socket);
  const Clock::time_point deadline = Clock::now() + kCloseGrace;
  std::array<char, 4096> discarded;
  for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
    std::array<platform::WaitEntry, 1> entry{{{socket, false}}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    if (platform::waitReadable(entry, left).status != platform::WaitStatus::kReady ||
        platform::receiveSome(socket, discarded.data(), discarded.size()) <= 0) {
      break;
    }
  }
  platform::closeSocket(socket);
}

// Lets go of everything the nick probe composes.
class DiscardOutput final : public RelayOutput {
 public:
  std::span<char> area(Peer) override { return area_; }
  void commit(Peer, std::size_t) override {}
  void closeClient() override {}

 private:
  std::vector<char> area_ = std::vector<char>(kOutCapacity);
};

// What the client sent before the connect.
struct EarlyWords {
  std::string bytes;             // every byte, framed once the server is connected
  std::unique_ptr<Relay> probe;  // the conversation as those bytes left it
  std::string gone;              // why the client's side ended meanwhile, if it did
};

// Reads the client into `early` until `done`, `deadline` or
// kStreamCapacity bytes, whichever comes first. Its commands are translated
// on a copy of the conversation state whose output is let go, so they are
// read as the session will read them, and nothing reaches either peer yet.
void readEarly(const Relay& relay, EarlyWords& early, Clock::time_point deadline,
               const std::function<bool()>& done) {
  DiscardOutput discard;
  std::array<char, 4096> chunk;
  const SocketHandle stopHandle = relayStopHandle();
  while (!done() && early.bytes.size() < kStreamCapacity) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      break;
    }
    std::array<platform::WaitEntry, 2> entries{{{relay.clientSocket, false}, {stopHandle, false}}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    const platform::WaitStatus status = platform::waitReadable(entries, left).status;
    if (status == platform::WaitStatus::kFailed) {
      early.gone = "waiting for data failed";
      break;
    }
    if (relaysStopping()) {
      early.gone = kStopReason;
      break;
    }
    if (status == platform::WaitStatus::kTimedOut) {
      break;
    }
    if (!entries[0].readable) {
      continue;
    }
    const std::size_t room = std::min(chunk.size(), kStreamCapacity - early.bytes.size());
    const long count = platform::receiveSome(relay.clientSocket, chunk.data(), room);
    if (count <= 0) {
      early.gone = count == 0 ? "client closed the connection" : "client connection failed";
      break;
    }
    const std::string_view bytes(chunk.data(), static_cast<std::size_t>(count));
    early.bytes += bytes;
    feed(*early.probe, Stream::kClient, bytes, standardTranslator(), discard);
  }
  // A password is taken by the session itself.
  early.probe->password.wipe();
}

// Reads the client until it has named itself, for `wait` at most.
EarlyWords readUpToNick(const Relay& relay, std::chrono::milliseconds wait) {
  EarlyWords early;
  early.probe = std::make_unique<Relay>();
  static_cast<RelayState&>(*early.probe) = relay;
  readEarly(relay, early, Clock::now() + wait, [&early] { return !early.probe->nick.empty(); });
  return early;
}

// How long the user may take to give the Bridge's password once asked: a
// DC client may ask its user to type it.
constexpr auto kPasswordWait = std::chrono::seconds(60);
constexpr std::string_view kMyPass = "$MyPass ";

// The password of the first complete "$MyPass" in `bytes`, as sent (escaped).
std::optional<std::string_view> givenPassword(std::string_view bytes) {
  for (std::size_t start = 0, end = bytes.find('|'); end != std::string_view::npos;
       start = end + 1, end = bytes.find('|', start)) {
    const std::string_view command = bytes.substr(start, end - start);
    if (command.starts_with(kMyPass)) {
      return command.substr(kMyPass.size());
    }
  }
  return std::nullopt;
}

// How the Bridge's own password went.
struct PasswordGate {
  bool passed = false;
  std::string end;       // why the session ends (when not passed)
  bool byClient = true;  // the client left, or took too long
};

constexpr std::string_view kLocalPasswordRefused = "Quayside refused the hub password";

// Asks the client for the Bridge's own password and checks what it gives,
// before any IRC traffic. The password is compared as the IRC login would
// send it (unescaped), and one with a NUL byte is refused, never cut.
PasswordGate passLocalPassword(Relay& relay, EarlyWords& early) {
  PasswordGate gate;
  platform::sendAll(relay.clientSocket, kGetPass);
  readEarly(relay, early, Clock::now() + kPasswordWait,
            [&early] { return givenPassword(early.bytes).has_value(); });
  const std::optional<std::string_view> given = givenPassword(early.bytes);
  if (!early.gone.empty()) {
    gate.end = early.gone;
    return gate;
  }
  if (!given) {
    gate.end = "the client gave no hub password within " +
               std::to_string(std::chrono::seconds(kPasswordWait).count()) + " seconds";
    return gate;
  }
  std::string password(given->size(), '\0');
  password.resize(nmdcUnescape(*given, password.data(), password.size()));
  gate.passed = given->find('\0') == std::string_view::npos &&
                platform::localPasswordMatches(relay.options, password);
  std::fill(password.begin(), password.end(), '\0');
  if (!gate.passed) {
    gate.end = std::string(kLocalPasswordRefused);
    gate.byClient = false;
  }
  return gate;
}

// Waits for the Bridge's turn for this session's IRC connection (none with
// pacing off), while watching the client for its close (its commands wait
// in the socket) and Quayside for its stop. Returns why the session ends
// instead, or an empty string.
std::string waitForConnectTurn(const Relay& relay) {
  Admission* const admission = relay.admission.admission();
  if (!relay.options.pace || admission == nullptr) {
    return {};
  }
  const Clock::time_point at = admission->connectSlot(Clock::now());
  const SocketHandle stopHandle = relayStopHandle();
  for (Clock::time_point now = Clock::now(); now < at; now = Clock::now()) {
    if (relaysStopping()) {
      return std::string(kStopReason);
    }
    std::array<platform::WaitEntry, 2> entries{
        {{relay.clientSocket, false, true}, {stopHandle, false}}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - now);
    const platform::WaitStatus status = platform::waitReadable(entries, left).status;
    if (status == platform::WaitStatus::kFailed) {
      return "waiting for data failed";
    }
    if (entries[0].readable) {
      return "client closed the connection while waiting for its turn to connect";
    }
  }
  return relaysStopping() ? std::string(kStopReason) : std::string();
}

// What a retry inside a hold is told after the lock: the last reason and
// when Quayside tries again; a refused password is refused again first.
std::string heldAnswer(const Hold& hold, ClientEncoding encoding) {
  std::string bytes(hold.cause == HoldCause::kPassword ? kBadPass : std::string_view());
  std::string text = hold.reason + "; Quayside tries again after " + hold.untilText;
  // Room for every byte escaped, so the time at its end is never cut.
  const std::size_t area = text.size() * 5 + 16;
  appendStatusLine(bytes, std::move(text), encoding, area);
  return bytes;
}
}  // namespace

void runRelay(Relay& relay, Translator& translator, RelayObserver* observer,
              const RelayTimeouts& timeouts) {
  relay.loginFlags = 0;
  relay.clientFeatures = 0;
  relay.nick.clear();
  relay.namedAs.clear();
  relay.topic.clear();
  relay.clientSpeaksWindows1252 = false;
  relay.heldChat.clear();
  relay.heldMessages = 0;
  relay.serverAddress.clear();
  relay.serverPort = 0;
  relay.serverFingerprint.clear();
  registerRelay(relay);
  platform::setBlocking(relay.clientSocket, true);
  platform::setSendLimit(relay.clientSocket, timeouts.send);

  // The server stream lives here, for the Relay's life; relay.serverSocket
  // only names its handle.
  std::unique_ptr<platform::ByteStream> server;
  std::string detail;
  // So does the client's character set, opened once (iconv_open is costly).
  const std::unique_ptr<TextConverter> charset =
      platform::openCharset(relay.options.charsetName(), detail);
  relay.clientCharset = charset.get();
  std::string reason;
  EndKind kind = EndKind::kFailure;
  std::string toClient;
  // An end that retrying at once cannot change, and what a retry is told.
  std::optional<HoldCause> holdCause;
  std::string holdReason;

  // The client is greeted at once and read up to its nick; only a named
  // client that no hold and no cap turns away gets an IRC connection, so a
  // port probe or a flood of local connects opens none.
  platform::sendAll(relay.clientSocket, kLockString);
  EarlyWords early;
  std::optional<Hold> held;
  std::string_view failure;
  if (detail.empty()) {
    early = readUpToNick(relay, timeouts.validation);
    if (early.gone.empty() && relaysStopping()) {
      early.gone = kStopReason;
    }
    if (early.gone.empty() && relay.holds && !early.probe->nick.empty()) {
      held = relay.holds->find(early.probe->nick.view(), Clock::now());
    }
  } else {
    failure = "the character set cannot be used";
  }
  const bool named = early.probe && !early.probe->nick.empty();
  if (named) {
    relay.namedAs = early.probe->nick;
  }
  std::string turnMissed;
  PasswordGate gate;

  if (!failure.empty()) {
    reason = std::string(failure) + ": " + detail;
    appendStatusLine(toClient, "Quayside could not connect to " + serverName(relay) + ": " + reason,
                     clientEncoding(relay));
  } else if (!early.gone.empty()) {
    reason = early.gone;
    kind = EndKind::kByClient;
  } else if (!named) {
    reason = early.bytes.size() >= kStreamCapacity
                 ? "the client sent " + std::to_string(early.bytes.size()) +
                       " bytes without naming itself"
                 : "the client did not name itself within " + spoken(timeouts.validation);
    kind = EndKind::kByClient;
  } else if (held) {
    reason = "retry of " + std::string(early.probe->nick.view()) + " answered locally (" +
             heldText(*held) + ")";
    kind = EndKind::kHeld;
    toClient = heldAnswer(*held, clientEncoding(*early.probe));
  } else if (relay.options.hasPassword() && !(gate = passLocalPassword(relay, early)).passed) {
    reason = gate.end;
    kind = gate.byClient ? EndKind::kByClient : EndKind::kFailure;
    if (!gate.byClient) {
      // Held as a refusal by the server would be: a guesser waits too.
      relay.nick = early.probe->nick;
      holdCause = HoldCause::kPassword;
      holdReason = kLocalPasswordRefused;
      // Said before $BadPass: some clients close at $BadPass and show
      // nothing after it.
      appendStatusLine(toClient, holdReason, clientEncoding(*early.probe));
      toClient += kBadPass;
    }
  } else if (!relay.admission.validate(relay.options.maxSessions)) {
    reason = "turned away: the Bridge runs " + std::to_string(relay.options.maxSessions) +
             " sessions already";
    kind = EndKind::kHeld;
    toClient = tooManySessionsLine(relay.options.maxSessions);
  } else if (turnMissed = waitForConnectTurn(relay); !turnMissed.empty()) {
    reason = turnMissed;
    kind = EndKind::kByClient;
  } else {
    early.probe.reset();  // the session reads those bytes itself
    if (gate.passed && relay.options.login != LoginMode::kNone) {
      // The client was asked once; its "$MyPass" logs in to IRC as well.
      relay.loginStep = LoginStep::kAsked;
    }
    failure = connectServer(relay, server, detail);
    if (failure.empty()) {
      server->setSendLimit(timeouts.send);
      if (observer != nullptr) {
        observer->relayConnected(relay);
      }
      const End end = relayTraffic(relay, *server, translator, observer, timeouts, early.bytes);
      reason = end.reason;
      if (end.unsent > 0) {
        reason += "; " + linesText(end.unsent) + " waiting for the server dropped";
      }
      kind = end.kind;
      holdCause = end.hold;
      if (end.byClient && relay.clientSocket != kNoSocket) {
        // The client left (not kicked): IRC users see it quit, not a lost link.
        server->sendAll(kClientQuit);
      }
      if (end.hold == HoldCause::kKick) {
        holdReason = end.detail;
      } else if (end.hold == HoldCause::kPassword) {
        holdReason = "The IRC server refused the password";
      }
      if (end.stopped) {
        // Straight to the stream: lines still waiting in the pacer are dropped.
        server->sendAll(kStopQuit);
        appendStatusLine(toClient, std::string(kStopReason), clientEncoding(relay));
        if (end.unsent > 0) {
          appendStatusLine(toClient,
                           linesText(end.unsent) + " waiting for the server were not sent",
                           clientEncoding(relay));
        }
      } else if (!end.byClient) {
        holdReason = "Quayside's connection to " + serverName(relay) + " ended: " + end.reason;
        appendStatusLine(toClient, holdReason, clientEncoding(relay));
        if (end.unsent > 0) {
          appendStatusLine(toClient,
                           linesText(end.unsent) + " waiting for the server were not sent",
                           clientEncoding(relay));
        }
        if (relay.heldMessages > 0) {
          appendStatusLine(toClient,
                           std::to_string(relay.heldMessages) +
                               (relay.heldMessages == 1 ? " message" : " messages") +
                               " typed before the server's welcome could not be sent",
                           clientEncoding(relay));
        }
      }
    } else {
      reason = detail.empty() ? std::string(failure) : std::string(failure) + ": " + detail;
      if (failure == kUntrustedCertificate || failure == kCertificateForOtherHost) {
        kind = EndKind::kCertificateRefused;
      }
      holdCause = holdOf(failure);
      holdReason = "Quayside could not connect to " + serverName(relay) + ": " +
                   connectFailureWords(failure, detail);
      appendStatusLine(toClient, holdReason, clientEncoding(relay));
    }
  }
  // A welcome that came with the end (in the same receive) still counts.
  if (relay.holds && (relay.loginFlags & kLoginWelcomed) != 0) {
    relay.holds->welcomed(relay.nick.view());
  }
  // Recorded before the end is reported, so the window shows the hold with it.
  if (holdCause && relay.holds) {
    relay.holds->refuse(relay.nick.view(), *holdCause, holdReason,
                        {Clock::now(), platform::localSecondOfDay()});
  }

  // Each socket is closed exactly once: closeSocket and close mark it closed.
  if (server) {
    server->close();
  }
  relay.serverSocket = kNoSocket;
  if (!toClient.empty() && relay.clientSocket != kNoSocket) {
    platform::sendAll(relay.clientSocket, toClient);
    closeClientAfterTelling(relay.clientSocket);
  }
  platform::closeSocket(relay.clientSocket);
  relay.clientCharset = nullptr;
  unregisterRelay(relay);
  if (observer != nullptr) {
    observer->relayEndedAs(relay, reason, kind);
  }
}

bool startRelay(std::unique_ptr<Relay> relay, RelayObserver* observer,
                const RelayTimeouts& timeouts) {
  Relay* const raw = relay.get();
  try {
    // The thread takes ownership and frees the Relay when it ends; the
    // accepting side never touches the record again, so the two cannot race.
    std::thread([raw, observer, timeouts] {
      const std::unique_ptr<Relay> owned(raw);
      runRelay(*owned, standardTranslator(), observer, timeouts);
    }).detach();
  } catch (const std::system_error&) {
    platform::closeSocket(relay->clientSocket);
    return false;
  }
  (void)relay.release();
  return true;
}

}  // namespace quayside
