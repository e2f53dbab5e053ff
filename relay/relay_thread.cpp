#include "relay/relay_thread.h"

#include "core/server_address.h"
#include "platform/charset.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/password_hash.h"
#include "platform/stream.h"
#include "platform/tls.h"
#include "platform/wait.h"
#include "relay/client_gate.h"
#include "relay/linger_board.h"
#include "relay/pacer.h"
#include "relay/refusal_holds.h"
#include "relay/registry.h"
#include "relay/server_connect.h"
#include "relay/socket_output.h"
#include "translate/client_charset.h"
#include "translate/composer.h"
#include "translate/linger.h"
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
  bool expired = false;           // the session lingered without a client until its time ran out
  // The session ended from the server's side while it lingered without a
  // client: the DC nick it lingered as, whose next client is told.
  std::string awayNick;
};

// A session's lingering (the Bridge's linger option) inside the relay loop.
struct Linger {
  std::chrono::milliseconds time{0};         // 0: the session ends with its client
  std::unique_ptr<platform::Wakeup> wakeup;  // opened at the first detach, for the session's life
  LingerBoard::Seat seat;
  bool away = false;  // no client attached: listed on relay.lingers
  Clock::time_point until;
};

// "30 minutes", "1 minute", or as spoken() says a time that is not whole minutes.
std::string lingerText(std::chrono::milliseconds time);

// Hands every message on, and keeps the salted hash of the password the
// client logs in to IRC with (the translation holds the text only until
// the login), so a client that comes back can be checked against it.
class PasswordKeeper final : public Translator {
 public:
  PasswordKeeper(Translator& inner, PasswordHash& hash) : inner_(inner), hash_(hash) {}

  std::size_t clientCommand(RelayState& relay, const Message& message, RelayOutput& out) override {
    constexpr std::string_view kMyPass = "$MyPass ";
    // The one "$MyPass" the translation logs in with: the answer it asked for.
    if (relay.options.login != LoginMode::kNone && relay.loginStep == LoginStep::kAsked &&
        message.bytes.starts_with(kMyPass)) {
      const std::string_view given = message.bytes.substr(kMyPass.size());
      std::string password(given.size(), '\0');
      password.resize(nmdcUnescape(given, password.data(), password.size()));
      std::string error;
      if (given.find('\0') != std::string_view::npos ||
          !platform::systemPasswordHasher().hash(password, hash_, error)) {
        hash_ = {};
      }
      std::fill(password.begin(), password.end(), '\0');
    }
    return inner_.clientCommand(relay, message, out);
  }

  std::size_t serverLine(RelayState& relay, const Message& message, RelayOutput& out) override {
    return inner_.serverLine(relay, message, out);
  }

 private:
  Translator& inner_;
  PasswordHash& hash_;
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

// Hands the translations' notes since the last call to the log.
void tellNotes(const Relay& relay, SocketOutput& out, RelayObserver* observer) {
  for (const std::string& note : out.takeNotes()) {
    if (observer != nullptr) {
      observer->relayNote(relay, note);
    }
  }
}

// `firstFromPlainServer`: nothing came yet from a server spoken to without TLS.
std::string_view readStep(Relay& relay, Stream stream, platform::ByteStream& server,
                          Translator& translator, SocketOutput& out, RelayObserver* observer,
                          bool firstFromPlainServer = false) {
  const std::span<char> area = receiveArea(relay, stream);
  const long count =
      stream == Stream::kClient ? relay.client->receiveSome(area) : server.receiveSome(area);
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
  tellNotes(relay, out, observer);
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

std::string lingerText(std::chrono::milliseconds time) {
  if (time.count() % 60'000 != 0) {
    return spoken(time);
  }
  const auto minutes = time.count() / 60'000;
  return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

// Relays until either side ends; returns why. Besides the two sockets the
// wait watches the server's deadlines: the welcome after the connect, a
// PING after a long silence and the end when that PING stays unanswered;
// and the time the next paced line is due, while lines wait. `early` is what
// the client sent before the connect, framed first. With `linger` on, a
// client that leaves a welcomed session is let go and the session goes on
// without one (listed on relay.lingers) until a client is handed over or
// the linger time runs out: the wait then watches the server, the stop
// handle and the linger's wakeup.
End relayTrafficWith(SocketOutput& out, Relay& relay, platform::ByteStream& server,
                     Translator& translator, RelayObserver* observer, const RelayTimeouts& timeouts,
                     std::string_view early, Linger& linger) {
  const auto note = [&](const std::string& text) {
    if (observer != nullptr) {
      observer->relayNote(relay, text);
    }
  };
  // The client left: true when the session lingers on without it.
  const auto detach = [&](const End& left) {
    if (linger.time.count() <= 0 || !relay.lingers || (relay.loginFlags & kLoginWelcomed) == 0 ||
        out.sessionEnd() || relaysStopping()) {
      return false;
    }
    if (!linger.wakeup) {
      std::string error;
      linger.wakeup = platform::openWakeup(error);
      if (!linger.wakeup) {
        note("cannot linger: " + error);
        return false;
      }
      linger.seat.wakeup = linger.wakeup.get();
    }
    relay.client->close();
    // Half a command of the client that left must not begin the next one's.
    relay.clientLength = 0;
    relay.clientOffset = 0;
    relay.clientBuffer[0] = '\0';
    relay.clientLongBuffer.reset();
    out.clientGone();
    linger.seat.nick = std::string(relay.nick.view());
    detachClient(relay, out, platform::unixTime());
    out.flush();
    linger.away = true;
    linger.until = Clock::now() + linger.time;
    relay.lingers->list(linger.seat);
    note("detached: lingering for " + lingerText(linger.time) + " (" + left.reason + ")");
    return true;
  };
  const auto attach = [&](ReturningClient back) {
    relay.client = std::move(back.client);
    relay.clientPort = back.clientPort;
    platform::setBlocking(relay.client->handle(), true);
    relay.client->setSendLimit(timeouts.send);
    relay.clientSpeaksWindows1252 = false;
    linger.away = false;
    const std::size_t kept = relay.kept.size();
    const std::size_t dropped = relay.kept.dropped();
    attachClient(relay);
    note("re-attached: " + linesText(kept) + " replayed" +
         (dropped > 0 ? " (" + std::to_string(dropped) + " older ones not kept)" : ""));
    feed(relay, Stream::kClient, back.early, translator, out);
    out.flush();
    tellNotes(relay, out, observer);
  };
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
      End end(ended->reason, !linger.away && !relay.clientOpen(), endKindOf(ended->cause),
              holdOf(ended->cause));
      end.detail = ended->detail;
      return end;
    }
    if (!linger.away && !relay.clientOpen()) {
      return {"client was kicked from the channel", true, EndKind::kByClient};
    }
    if (const std::optional<Peer> stalled = out.stalled()) {
      // A client that stopped reading cannot be told why.
      const bool client = *stalled == Peer::kClient;
      End end(std::string(client ? "the client" : "the server") +
                  " stopped reading: nothing could be sent to it for " + spoken(timeouts.send),
              client);
      if (!client || !detach(end)) {
        return end;
      }
    }
    // One clock reading per pass: it dates the last receive as well.
    const Clock::time_point now = Clock::now();
    if (linger.away && now >= linger.until) {
      // A client handed over just now still takes the session.
      if (std::optional<ReturningClient> back = relay.lingers->unlist(linger.seat)) {
        attach(std::move(*back));
        continue;
      }
      note("linger expired");
      End end("the DC client did not come back within " + lingerText(linger.time), true,
              EndKind::kByClient);
      end.expired = true;
      return end;
    }
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
    if (linger.away) {
      due = std::min(due, linger.until);
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
    // for: a user who leaves mid-paste must not go on speaking. Without a
    // client the wakeup takes its place: a client handed over raises it.
    const bool holdingClient = !linger.away && pacer.full();
    const SocketHandle first = linger.away ? linger.wakeup->handle() : relay.client->handle();
    std::array<platform::WaitEntry, 3> ready{
        {{first, false, holdingClient}, {server.handle(), false}, {stopHandle, false}}};
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
    if (linger.away) {
      if (ready[0].readable) {
        linger.wakeup->lower();
        if (std::optional<ReturningClient> back = relay.lingers->takeReturning(linger.seat)) {
          attach(std::move(*back));
        }
      }
    } else if (ready[0].readable && holdingClient) {
      End end("client closed the connection", true, EndKind::kByClient);
      if (!detach(end)) {
        return end;
      }
    } else if (ready[0].readable) {
      if (const std::string_view left =
              readStep(relay, Stream::kClient, server, translator, out, observer);
          !left.empty()) {
        End end(std::string(left), true, EndKind::kByClient);
        if (!detach(end)) {
          return end;
        }
      }
    }
    // A server that stopped reading is the end, whatever it sent meanwhile
    // (a TLS stream cannot be read after a send it gave up on).
    if ((ready[1].readable || serverBuffered) && (relay.clientOpen() || linger.away) &&
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

// A named client is told why the session it left ended meanwhile, if one
// did: right after its nick, or where the Bridge has its own password once
// the client gave it.
void tellEndWhileAway(Relay& relay, const EarlyWords& early) {
  if (!relay.lingers) {
    return;
  }
  if (std::optional<std::string> told = relay.lingers->takeEndNotice(early.probe->nick.view())) {
    std::string bytes;
    appendStatusLine(bytes, std::move(*told), clientEncoding(*early.probe));
    relay.client->sendAll(bytes);
  }
}

// A named client that passed the Bridge's gate is handed to the session
// lingering as its nick, if one does; the log says why not when some
// session lingers.
Reattach offerToLingering(Relay& relay, EarlyWords& early, RelayObserver* observer) {
  if (relay.options.hasPassword()) {
    tellEndWhileAway(relay, early);
  }
  Reattach offer = offerToLingering(relay, early);
  if (!offer.handedOver && offer.end.empty() && !offer.why.empty() && observer != nullptr) {
    observer->relayNote(relay, "not re-attached: " + offer.why);
  }
  return offer;
}

// Relays (relayTrafficWith) and counts the lines still waiting for the
// server at the end, which are dropped: the log says how many, and so does
// the client when it is still there.
// A session that ends while it lingers leaves the board; a client handed
// over at that moment is told the end as an attached one would be.
End relayTraffic(Relay& relay, platform::ByteStream& server, Translator& translator,
                 RelayObserver* observer, const RelayTimeouts& timeouts, std::string_view early) {
  SocketOutput out(relay, server);
  Linger linger;
  if (relay.options.lingerMinutes > 0 && relay.lingers) {
    linger.time = timeouts.linger.value_or(std::chrono::minutes(relay.options.lingerMinutes));
  }
  PasswordKeeper keeper(translator, linger.seat.password);
  End end = relayTrafficWith(out, relay, server, linger.time.count() > 0 ? keeper : translator,
                             observer, timeouts, early, linger);
  end.unsent = out.pacer().queuedLines();
  if (linger.away) {
    if (std::optional<ReturningClient> back = relay.lingers->unlist(linger.seat)) {
      relay.client = std::move(back->client);
      relay.clientPort = back->clientPort;
      platform::setBlocking(relay.client->handle(), true);
      relay.client->setSendLimit(timeouts.send);
      end.byClient = false;
    } else if (!end.stopped && !end.expired) {
      end.awayNick = linger.seat.nick;
    }
  }
  linger.seat.password = {};
  return end;
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
  platform::setBlocking(relay.client->handle(), true);
  relay.client->setSendLimit(timeouts.send);

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
  relay.client->sendAll(kLockString);
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
    if (early.gone.empty() && !relay.options.hasPassword()) {
      tellEndWhileAway(relay, early);
    }
  }
  std::string turnMissed;
  PasswordGate gate;
  Reattach offer;

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
  } else if (offer = offerToLingering(relay, early, observer);
             offer.handedOver || !offer.end.empty()) {
    reason = offer.handedOver
                 ? "handed over to the session lingering as " + std::string(relay.namedAs.view())
                 : offer.end;
    kind = EndKind::kByClient;
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
    if ((gate.passed || offer.askedPassword) && relay.options.login != LoginMode::kNone) {
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
      if ((end.byClient && relay.clientOpen()) || end.expired) {
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
        if (end.hold != HoldCause::kKick) {
          holdReason = "Quayside's connection to " + serverName(relay) + " ended: " + end.reason;
        }
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
      if (!end.awayNick.empty()) {
        relay.lingers->endedWhileAway(end.awayNick, "While you were away, the connection to " +
                                                        serverName(relay) +
                                                        " ended: " + end.reason);
      }
    } else {
      reason = detail.empty() ? std::string(failure) : std::string(failure) + ": " + detail;
      if (isCertificateFailure(failure)) {
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
  if (!toClient.empty() && relay.clientOpen()) {
    relay.client->sendAll(toClient);
    closeClientAfterTelling(*relay.client);
  }
  if (relay.client) {  // none once handed to a lingering session
    relay.client->close();
  }
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
    relay->client->close();
    return false;
  }
  (void)relay.release();
  return true;
}

}  // namespace quayside
