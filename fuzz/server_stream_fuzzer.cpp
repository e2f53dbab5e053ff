// The IRC server's byte stream through the real framing and translation: no
// crash, no IRC text that becomes an NMDC command, and every answer to the
// server whole lines.
#include "fuzz_support.h"
#include "relay_fixture.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace quayside;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  // The first byte picks the state the session starts in. With its top bit
  // set, the next byte picks the login under way and the client's character
  // set (fuzz::applySessionVariant).
  constexpr std::array<std::string_view, 4> kNicks = {"", "me", "[Me]", "bob"};
  constexpr std::array<std::uint8_t, 4> kFlags = {0, kLoginHubNamed, 0x0F, 0x6F};
  const std::uint8_t setup = data[0];
  auto relay = testing::makeRelay((setup & 0x10) != 0 ? "chan" : "#c", kNicks[setup & 0x03]);
  relay->loginFlags = kFlags[(setup >> 2) & 0x03];
  relay->clientFeatures = (setup & 0x20) != 0 ? kFeatureNickChange : 0;
  std::size_t at = 1;
  if ((setup & 0x80) != 0 && size > 1) {
    fuzz::applySessionVariant(*relay, data[at++]);
  }
  testing::RecordingOutput out;
  for (const std::string& bytes : fuzz::receivesOf({data + at, size - at})) {
    testing::feedServer(*relay, bytes, out);
    fuzz::checkHeld(*relay);
  }
  fuzz::checkServerSends(out);
  fuzz::checkClientSends(out);
  return 0;
}
