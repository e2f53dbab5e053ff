#include "bridge/bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <utility>

namespace quayside {
namespace {

TEST(BridgeRecord, FieldsLandAtTheirOffsetsInLittleEndian) {
  Bridge b;
  b.enabled = 0x81;
  b.server[0] = 'h';
  b.server[511] = 'z';
  b.channel[0] = '#';
  b.channel[255] = 'q';
  b.localPort = 0x1234;
  b.upstreamKind = 7;
  b.clientKind = 9;
  b.reserved[0] = 0xEE;
  b.reserved[1023] = 0xDD;
  b.listenSocket = 0x01020304;
  b.acceptMessage = 0xA1B2C3D4;
  b.listenAddress[0] = 2;
  b.listenAddress[15] = 0x55;
  b.reservedTail[0] = 0x11;
  b.reservedTail[3] = 0x44;
  const BridgeRecord record = encodeBridge(b);
  const std::pair<std::size_t, int> expected[] = {
      {0, 0x81},    {1, 'h'},  {512, 'z'},   {513, '#'},   {768, 'q'},   {769, 0x34},  {770, 0x12},
      {771, 7},     {772, 9},  {773, 0xEE},  {1796, 0xDD}, {1797, 0x04}, {1800, 0x01}, {1801, 0xD4},
      {1804, 0xA1}, {1805, 2}, {1820, 0x55}, {1821, 0x11}, {1824, 0x44}};
  for (const auto& [offset, value] : expected) {
    EXPECT_EQ(static_cast<int>(record[offset]), value) << "offset " << offset;
  }
  // No listener is stored as handle 0.
  EXPECT_EQ(encodeBridge(Bridge{}), BridgeRecord{});
}

TEST(BridgeRecord, DecodeThenEncodeKeepsEveryByteButTheStaleHandle) {
  std::mt19937 random(1);
  for (int round = 0; round < 20; ++round) {
    BridgeRecord stored;
    for (std::byte& b : stored) {
      b = static_cast<std::byte>(random() & 0xFF);
    }
    stored[1 + 100] = std::byte{0};  // saved texts always hold a NUL
    stored[513 + 30] = std::byte{0};
    const Bridge bridge = decodeBridge(stored);
    EXPECT_EQ(bridge.listenSocket, kNoSocket);
    for (std::size_t i = 1797; i < 1801; ++i) {
      stored[i] = std::byte{0};
    }
    EXPECT_EQ(encodeBridge(bridge), stored) << "round " << round;
  }
}

TEST(BridgeRecord, TextsWithoutNulEndAtTheirFieldsLastByte) {
  BridgeRecord stored;
  stored.fill(std::byte{'A'});
  const Bridge bridge = decodeBridge(stored);
  EXPECT_EQ(fieldText(bridge.server), std::string(511, 'A'));
  EXPECT_EQ(fieldText(bridge.channel), std::string(255, 'A'));
  EXPECT_EQ(bridge.localPort, 0x4141);
}

TEST(BridgeRecord, OptionsLiveTaggedInTheReservedBytes) {
  const auto reservedWith = [](std::string_view bytes) {
    std::array<std::uint8_t, 1024> reserved{};
    std::copy(bytes.begin(), bytes.end(), reserved.begin());
    return reserved;
  };
  using namespace std::string_literals;
  // The tag and the length before `text`.
  const auto tagged = [](const std::string& text) {
    return "QSIDEOPT"s + static_cast<char>(text.size() & 0xFF) +
           static_cast<char>(text.size() >> 8) + text;
  };
  const std::string hash =
      "password-hash=pbkdf2-sha256:600000:AQIDBAUGBwgJCgsMDQ4PEA==:"
      "WlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlo=";
  struct Row {
    const char* name;  // what is broken when the row fails
    std::string reserved;
    std::string read;         // formatOptions of what decodes
    bool unreadable = false;  // a block is there but does not read: never run weaker
  };
  const Row rows[] = {
      {"block read", "QSIDEOPT\x08\0pace=off"s, "pace=off"},
      {"foreign bytes read as options", "pace=off"s, ""},
      {"tag of another case accepted", "qsideopt\x08\0pace=off"s, ""},
      {"length past the reserved bytes followed", "QSIDEOPT\xFF\xFFpace=off"s, "", true},
      {"broken option half applied", "QSIDEOPT\x13\0pace=off,colour=red"s, "", true},
      {"length cutting an option ignored", "QSIDEOPT\x06\0pace=off"s, "", true},
      {"password hash and max-sessions read", tagged("max-sessions=3," + hash),
       "max-sessions=3," + hash},
      {"rooms read in their order", tagged("pace=off,room=#help,room=#dev"),
       "pace=off,room=#help,room=#dev"},
      {"damaged password hash taken as no password", tagged(hash.substr(0, hash.size() - 2)), "",
       true},
      {"password text stored by hand taken as a password", tagged("password=secret"), "", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bridge stored;
    stored.reserved = reservedWith(row.reserved);
    // Raw bytes, as another program may have left them.
    BridgeRecord record{};
    std::copy(row.reserved.begin(), row.reserved.end(),
              reinterpret_cast<char*>(record.data()) + 773);
    const Bridge decoded = decodeBridge(record);
    EXPECT_EQ(formatOptions(decoded.options), row.read);
    EXPECT_EQ(decoded.optionsProblem.empty(), !row.unreadable) << decoded.optionsProblem;
    if (row.unreadable) {
      EXPECT_EQ(encodeBridge(decoded), record) << "an unreadable block is stored back as it was";
    }
  }

  // Without options the reserved bytes are carried as they are, so files
  // stay byte for byte; with options the tagged block replaces them.
  Bridge plain;
  plain.reserved[5] = 0x77;
  EXPECT_EQ(static_cast<int>(encodeBridge(plain)[778]), 0x77);
  Bridge optioned = plain;
  ASSERT_EQ(applyOptions(optioned.options, "login=sasl,charset=cp1251,max-sessions=3," + hash), "");
  const BridgeRecord record = encodeBridge(optioned);
  const Bridge back = decodeBridge(record);
  EXPECT_TRUE(back.options == optioned.options);
  EXPECT_EQ(encodeBridge(back), record);
  Bridge cleared = back;
  cleared.options = SessionOptions{};
  EXPECT_EQ(encodeBridge(cleared), encodeBridge(Bridge{})) << "cleared options leave no block";
}

}  // namespace
}  // namespace quayside
