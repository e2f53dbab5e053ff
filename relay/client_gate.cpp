#include "relay/client_gate.h"

#include "platform/net.h"
#include "platform/password_hash.h"
#include "platform/wait.h"
#include "relay/framing.h"
#include "relay/linger_board.h"
#include "relay/registry.h"
#include "translate/nmdc_text.h"
#include "translate/output.h"
#include "translate/session_lines.h"

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace quayside {
namespace {

using Clock = std::chrono::steady_clock;

// How long a client that was told why its session ends may take to close
// its side before its connection is closed anyway.
constexpr auto kCloseGrace = std::chrono::seconds(2);

// Lets go of everything the nick probe composes.
class DiscardOutput final : public RelayOutput {
 public:
  std::span<char> area(Peer) override { return area_; }
  void commit(Peer, std::size_t) override {}
  void closeClient() override {}

 private:
  std::vector<char> area_ = std::vector<char>(kOutCapacity);
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
    std::array<platform::WaitEntry, 2> entries{
        {{relay.client->handle(), false}, {stopHandle, false}}};
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
    const long count = relay.client->receiveSome(std::span<char>(chunk.data(), room));
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

}  // namespace

EarlyWords readUpToNick(const Relay& relay, std::chrono::milliseconds wait) {
  EarlyWords early;
  early.probe = std::make_unique<Relay>();
  static_cast<RelayState&>(*early.probe) = relay;
  readEarly(relay, early, Clock::now() + wait, [&early] { return !early.probe->nick.empty(); });
  return early;
}

namespace {

// Asks the client for its password (unless it gave one already, when `ask`
// is false), waits for it and checks the unescaped text with `matches`. One
// with a NUL byte is refused, never cut.
PasswordGate checkPassword(Relay& relay, EarlyWords& early, bool ask,
                           const std::function<bool(std::string_view)>& matches) {
  PasswordGate gate;
  if (ask || !givenPassword(early.bytes)) {
    relay.client->sendAll(kGetPass);
    gate.asked = true;
  }
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
  gate.passed = given->find('\0') == std::string_view::npos && matches(password);
  std::fill(password.begin(), password.end(), '\0');
  gate.byClient = gate.passed;
  return gate;
}

}  // namespace

PasswordGate passLocalPassword(Relay& relay, EarlyWords& early) {
  PasswordGate gate = checkPassword(relay, early, true, [&relay](std::string_view password) {
    return platform::localPasswordMatches(relay.options, password);
  });
  if (!gate.passed && gate.end.empty()) {
    gate.end = std::string(kLocalPasswordRefused);
  }
  return gate;
}

Reattach offerToLingering(Relay& relay, EarlyWords& early) {
  Reattach offer;
  if (!relay.lingers || relay.lingers->empty()) {
    return offer;
  }
  LingerBoard& board = *relay.lingers;
  const std::string nick(early.probe->nick.view());
  std::vector<LingerBoard::Candidate> candidates = board.find(nick);
  if (candidates.empty()) {
    offer.why = "no session lingers as " + nick;
    return offer;
  }
  if (relay.options.login != LoginMode::kNone) {
    // The one the password was made for, if any.
    const PasswordGate gate = checkPassword(relay, early, false, [&](std::string_view password) {
      std::erase_if(candidates, [password](const LingerBoard::Candidate& candidate) {
        return !platform::passwordMatches(candidate.password, password);
      });
      return !candidates.empty();
    });
    offer.askedPassword = gate.asked;
    if (!gate.passed) {
      if (gate.end.empty()) {
        offer.why = "the password differs from the one the session lingering as " + nick +
                    " logged in with";
      } else {
        offer.end = gate.end;
      }
      return offer;
    }
  }
  ReturningClient returning{std::move(relay.client), early.bytes, relay.clientPort};
  if (!board.handOver(candidates.front().id, returning)) {
    relay.client = std::move(returning.client);
    offer.why = "the session lingering as " + nick + " ended meanwhile";
    return offer;
  }
  offer.handedOver = true;
  return offer;
}

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
        {{relay.client->handle(), false, true}, {stopHandle, false}}};
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

std::string heldAnswer(const Hold& hold, ClientEncoding encoding) {
  std::string bytes(hold.cause == HoldCause::kPassword ? kBadPass : std::string_view());
  std::string text = hold.reason + "; Quayside tries again after " + hold.untilText;
  // Room for every byte escaped, so the time at its end is never cut.
  const std::size_t area = text.size() * 5 + 16;
  appendStatusLine(bytes, std::move(text), encoding, area);
  return bytes;
}

void closeClientAfterTelling(platform::ByteStream& client) {
  platform::shutdownSending(client.handle());
  const Clock::time_point deadline = Clock::now() + kCloseGrace;
  std::array<char, 4096> discarded;
  for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
    std::array<platform::WaitEntry, 1> entry{{{client.handle(), false}}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    if (platform::waitReadable(entry, left).status != platform::WaitStatus::kReady ||
        client.receiveSome(discarded) <= 0) {
      break;
    }
  }
  client.close();
}

}  // namespace quayside
