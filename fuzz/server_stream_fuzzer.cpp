// The IRC server's byte stream through the real framing and translation: no
// crash, no IRC text that becomes an NMDC command, every answer to the
// server whole lines, no tag ever shown or sent back, and a lingering
// session's kept lines within their bounds.
#include "fuzz_support.h"
#include "relay_fixture.h"
#include "translate/linger.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace quayside;

namespace {

// Put in front of every line of a second run: a tag section with escapes,
// missing values, ';' runs and an empty key, whose marker must never reach
// either side.
constexpr std::string_view kTagMarker = "QZTAG";
// Every capability whose lines the translation reads (SASL is the login's).
constexpr std::uint16_t kEveryCapability = 0x03FF;
constexpr std::string_view kTags = "@+qz=QZTAG\\s\\:\\\\;;=;k;QZTAG=\\x\\ ";

// `receive` with kTags in front of each line that starts in it.
std::string withTags(std::string_view receive, bool& atLineStart) {
  std::string tagged;
  for (std::size_t i = 0; i < receive.size(); ++i) {
    if (atLineStart) {
      tagged += kTags;
    }
    tagged += receive[i];
    atLineStart = receive[i] == '\n' && i > 0 && receive[i - 1] == '\r';
  }
  return tagged;
}

void checkKept(const Relay& relay) {
  if (relay.kept.size() > kKeptLineLimit || relay.kept.memory() > kKeptByteLimit) {
    fuzz::fail("kept lines past their bounds", std::to_string(relay.kept.memory()));
  }
}

void checkNoTags(const testing::RecordingOutput& out) {
  for (const auto* sends : {&out.client, &out.server}) {
    for (const std::string& sent : *sends) {
      if (sent.find(kTagMarker) != std::string::npos) {
        fuzz::fail("a tag reached the output", sent);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  // The first byte picks the state the session starts in; 0x20 gives a
  // client that takes nick changes and bot lists a joined room and one
  // being joined; 0x40 puts every IRCv3 capability in use. With its top bit set, the next byte
  // picks the login under way and the client's character set (fuzz::applySessionVariant).
  constexpr std::array<std::string_view, 4> kNicks = {"", "me", "[Me]", "bob"};
  constexpr std::array<std::uint8_t, 4> kFlags = {0, kLoginHubNamed, 0x0F, 0x6F};
  const std::uint8_t setup = data[0];
  const std::size_t at = (setup & 0x80) != 0 && size > 1 ? 2 : 1;
  const auto startSession = [&] {
    auto relay = testing::makeRelay((setup & 0x10) != 0 ? "chan" : "#c", kNicks[setup & 0x03]);
    relay->loginFlags = kFlags[(setup >> 2) & 0x03];
    if ((setup & 0x20) != 0) {
      relay->clientFeatures = kFeatureNickChange | kFeatureBotList;
      testing::addRooms(*relay, "#help ~#dev");
    }
    relay->capsEnabled = (setup & 0x40) != 0 ? kEveryCapability : 0;
    if (at == 2) {
      fuzz::applySessionVariant(*relay, data[1]);
    }
    return relay;
  };
  const std::vector<std::string> receives = fuzz::receivesOf({data + at, size - at});
  {
    auto relay = startSession();
    testing::RecordingOutput out;
    for (const std::string& bytes : receives) {
      testing::feedServer(*relay, bytes, out, testing::fixedZoneTranslator());
      fuzz::checkHeld(*relay);
    }
    fuzz::checkServerSends(out);
    fuzz::checkClientSends(out);
  }
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.find(kTagMarker) == std::string_view::npos) {
    auto relay = startSession();
    testing::RecordingOutput out;
    bool atLineStart = true;
    for (const std::string& bytes : receives) {
      testing::feedServer(*relay, withTags(bytes, atLineStart), out,
                          testing::fixedZoneTranslator());
      fuzz::checkHeld(*relay);
    }
    fuzz::checkServerSends(out);
    fuzz::checkClientSends(out);
    checkNoTags(out);
  }
  // With the variant byte, a third run lingers: the client left before the
  // first receive, and halfway through another takes the session over (its
  // nick and user information), so its user list is rebuilt and what was
  // kept is replayed.
  if (at == 2) {
    auto relay = startSession();
    testing::RecordingOutput out;
    detachClient(*relay, out, testing::kFixedNow - 3600);
    for (std::size_t i = 0; i < receives.size(); ++i) {
      if (i == receives.size() / 2) {
        attachClient(*relay);
        testing::feedClient(*relay, "$ValidateNick me|$MyINFO $ALL me x$ $L\x01$$0$|", out,
                            testing::fixedZoneTranslator());
      }
      testing::feedServer(*relay, receives[i], out, testing::fixedZoneTranslator());
      fuzz::checkHeld(*relay);
      checkKept(*relay);
    }
    fuzz::checkServerSends(out);
    fuzz::checkClientSends(out);
  }
  return 0;
}
