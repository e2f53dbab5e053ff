// The hub client's byte stream through the real framing and translation:
// no crash, and nothing it sends can add an IRC line or an NMDC command.
#include "fuzz_support.h"
#include "relay_fixture.h"

#include <array>
#include <cstddef>
#include <cstdint>

using namespace quayside;

namespace {

// What one input may feed: past the 10,000 bytes the framing holds inline,
// so long messages take the heap buffer, but not 64 KiB messages, whose
// translation would cut the run to a few hundred inputs a second.
constexpr std::size_t kClientStreamLimit = 24 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  // The first byte picks the state the session starts in; login is reached
  // from each of them too; 0x20 puts the session in rooms. With its top bit set, the next byte
  // picks the login mode and character set (fuzz::applySessionVariant).
  constexpr std::array<std::uint8_t, 4> kFlags = {
      0, kLoginValidated | kLoginNickSent,
      kLoginValidated | kLoginNickSent | kLoginInfoReceived | kLoginUserSent, 0x7F};
  const std::uint8_t setup = data[0];
  auto relay =
      testing::makeRelay((setup & 0x04) != 0 ? "chan" : "#c", (setup & 0x08) != 0 ? "bob" : "");
  relay->serverText.assign((setup & 0x10) != 0 ? "dchub://h:1" : "irc://irc.example.net:6667");
  relay->loginFlags = kFlags[setup & 0x03];
  if ((setup & 0x20) != 0) {
    testing::addRooms(*relay, "#help ~#dev");  // room messages and commands reach IRC
  }
  std::size_t at = 1;
  if ((setup & 0x80) != 0 && size > 1) {
    fuzz::applySessionVariant(*relay, data[at++]);
  }
  std::uint32_t draws = 0;
  StandardTranslator translator([&draws] { return draws++ * 2654435761u; },
                                [](std::int64_t) { return std::optional<CalendarTime>(); },
                                [] { return std::int64_t{0}; });
  testing::RecordingOutput out;
  for (const std::string& bytes : fuzz::receivesOf({data + at, size - at}, kClientStreamLimit)) {
    testing::feedClient(*relay, bytes, out, translator);
    fuzz::checkHeld(*relay);
  }
  fuzz::checkServerSends(out);
  fuzz::checkClientSends(out);
  return 0;
}
