#include "bridge/bridge.h"

#include "translate/composer.h"
#include "translate/nmdc_text.h"
#include "translate/server_reading.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>

namespace quayside {
namespace {

// Field offsets within the stored record.
constexpr std::size_t kEnabledOffset = 0;
constexpr std::size_t kServerOffset = 1;
constexpr std::size_t kChannelOffset = kServerOffset + kBridgeServerCapacity;
constexpr std::size_t kLocalPortOffset = kChannelOffset + kBridgeChannelCapacity;
constexpr std::size_t kUpstreamKindOffset = kLocalPortOffset + 2;
constexpr std::size_t kClientKindOffset = kUpstreamKindOffset + 1;
constexpr std::size_t kReservedOffset = kClientKindOffset + 1;
constexpr std::size_t kListenSocketOffset =
    kReservedOffset + std::tuple_size_v<decltype(Bridge::reserved)>;
constexpr std::size_t kAcceptMessageOffset = kListenSocketOffset + 4;
constexpr std::size_t kListenAddressOffset = kAcceptMessageOffset + 4;
constexpr std::size_t kReservedTailOffset =
    kListenAddressOffset + std::tuple_size_v<decltype(Bridge::listenAddress)>;
constexpr std::size_t kRecordEnd =
    kReservedTailOffset + std::tuple_size_v<decltype(Bridge::reservedTail)>;

static_assert(kChannelOffset == 513 && kLocalPortOffset == 769 && kReservedOffset == 773);
static_assert(kListenSocketOffset == 1797 && kAcceptMessageOffset == 1801);
static_assert(kListenAddressOffset == 1805 && kReservedTailOffset == 1821);
static_assert(kRecordEnd == kBridgeRecordSize, "the record is 1,825 bytes");

class Writer {
 public:
  explicit Writer(BridgeRecord& record) : record_(record) {}

  void byte(std::size_t at, std::uint8_t value) { record_[at] = static_cast<std::byte>(value); }

  template <std::size_t N, typename T>
  void bytes(std::size_t at, const std::array<T, N>& field) {
    for (std::size_t i = 0; i < N; ++i) {
      record_[at + i] = static_cast<std::byte>(field[i]);
    }
  }

  void littleEndian(std::size_t at, std::uint32_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
      byte(at + i, static_cast<std::uint8_t>(value >> (8 * i)));
    }
  }

 private:
  BridgeRecord& record_;
};

class Reader {
 public:
  explicit Reader(std::span<const std::byte, kBridgeRecordSize> record) : record_(record) {}

  std::uint8_t byte(std::size_t at) const { return static_cast<std::uint8_t>(record_[at]); }

  template <std::size_t N, typename T>
  void bytes(std::size_t at, std::array<T, N>& field) const {
    for (std::size_t i = 0; i < N; ++i) {
      field[i] = static_cast<T>(record_[at + i]);
    }
  }

  std::uint32_t littleEndian(std::size_t at, std::size_t width) const {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      value |= static_cast<std::uint32_t>(byte(at + i)) << (8 * i);
    }
    return value;
  }

 private:
  std::span<const std::byte, kBridgeRecordSize> record_;
};

// A text field without a NUL ends at its last byte, so no reader of the field
// can run past it.
template <std::size_t N>
void terminateText(std::array<char, N>& field) {
  if (std::find(field.begin(), field.end(), '\0') == field.end()) {
    field[N - 1] = '\0';
  }
}

// Options live in the reserved bytes behind a tag, so that bytes written
// there by anything else are never read as options, and a program that knows
// only the 1,825-byte layout carries them unchanged:
//   "QSIDEOPT" (8 bytes), text length (2 bytes, little-endian), the text
//   (formatOptions), then zeros.
constexpr std::string_view kOptionsTag = "QSIDEOPT";
constexpr std::size_t kOptionsTextOffset = kOptionsTag.size() + 2;
using Reserved = std::array<std::uint8_t, 1024>;
static_assert(kStoredOptionsLimit == Reserved().size() - kOptionsTextOffset);

bool holdsOptions(const Reserved& reserved) {
  return std::equal(
      kOptionsTag.begin(), kOptionsTag.end(), reserved.begin(),
      [](char tag, std::uint8_t byte) { return static_cast<std::uint8_t>(tag) == byte; });
}

// The options kept in `reserved`, or the defaults when it holds none.
// `problem` says why a block that is there does not read as options.
SessionOptions readOptions(const Reserved& reserved, std::string& problem) {
  SessionOptions options;
  if (!holdsOptions(reserved)) {
    return options;
  }
  const std::size_t length = reserved[kOptionsTag.size()] |
                             static_cast<std::size_t>(reserved[kOptionsTag.size() + 1]) << 8;
  if (length > reserved.size() - kOptionsTextOffset) {
    problem = "the stored options are cut short";
    return options;
  }
  std::string text(length, '\0');
  std::copy_n(reserved.begin() + kOptionsTextOffset, length, text.begin());
  problem = applyOptions(options, text);
  return problem.empty() ? options : SessionOptions{};
}

// `reserved` as it is stored: untouched while no options were ever set, so
// files written without options stay byte for byte as they were.
Reserved storedReserved(const Bridge& bridge) {
  if (!bridge.optionsProblem.empty()) {
    return bridge.reserved;  // what a later version wrote is not thrown away
  }
  const std::string text = formatOptions(bridge.options);
  if (text.empty() && !holdsOptions(bridge.reserved)) {
    return bridge.reserved;
  }
  if (text.size() > kStoredOptionsLimit) {
    // Never a cut text, which would read back as other options: where
    // options are set such options are refused, and saveSettings refuses
    // a Bridge holding them, so this keeps what was stored before.
    return bridge.reserved;
  }
  Reserved stored{};
  if (text.empty()) {
    return stored;
  }
  std::copy(kOptionsTag.begin(), kOptionsTag.end(), stored.begin());
  const std::size_t length = text.size();
  stored[kOptionsTag.size()] = static_cast<std::uint8_t>(length & 0xFF);
  stored[kOptionsTag.size() + 1] = static_cast<std::uint8_t>(length >> 8);
  std::copy_n(text.begin(), length, stored.begin() + kOptionsTextOffset);
  return stored;
}

}  // namespace

std::uint32_t nextBridgeId() {
  static std::atomic<std::uint32_t> last{0};
  return ++last;
}

std::string joinedChannel(std::string_view channel) {
  std::array<char, kBridgeChannelCapacity + Composer::kTerminatorRoom + 1> area;
  Composer composer(area);
  appendChannelTarget(composer, channel);
  return std::string(composer.view());
}

std::string storedOptionsProblem(const SessionOptions& options) {
  if (const std::size_t size = formatOptions(options).size(); size > kStoredOptionsLimit) {
    return "the options take " + std::to_string(size) + " bytes stored, more than " +
           std::to_string(kStoredOptionsLimit) + ": fewer or shorter rooms";
  }
  return {};
}

std::string bridgeOptionsProblem(const SessionOptions& options, std::string_view channel) {
  const std::string joined = joinedChannel(channel);
  for (const RoomName& room : options.roomList()) {
    // Folded as the relay finds its rooms, so no spelling of the channel
    // slips through as a room of its own.
    if (nickMatches(room.view(), joined)) {
      return "room \"" + std::string(room.view()) +
             "\" is the Bridge's own channel: its chat is the hub's main chat";
    }
  }
  return storedOptionsProblem(options);
}

BridgeRecord encodeBridge(const Bridge& bridge) {
  BridgeRecord record{};
  Writer out(record);
  out.byte(kEnabledOffset, bridge.enabled);
  out.bytes(kServerOffset, bridge.server);
  out.bytes(kChannelOffset, bridge.channel);
  out.littleEndian(kLocalPortOffset, bridge.localPort, 2);
  out.byte(kUpstreamKindOffset, bridge.upstreamKind);
  out.byte(kClientKindOffset, bridge.clientKind);
  out.bytes(kReservedOffset, storedReserved(bridge));
  // The handle is informative only; it is never read back as a handle. The
  // live handle is kept in the Bridge at its own width (a pointer-wide SOCKET
  // on Windows); the record gets its low 32 bits, which on Windows are all
  // of it: kernel handles, sockets included, are 32-bit values so that 32-
  // and 64-bit programs can share them.
  const std::uint32_t handle =
      bridge.listenSocket == kNoSocket ? 0 : static_cast<std::uint32_t>(bridge.listenSocket);
  out.littleEndian(kListenSocketOffset, handle, 4);
  out.littleEndian(kAcceptMessageOffset, bridge.acceptMessage, 4);
  out.bytes(kListenAddressOffset, bridge.listenAddress);
  out.bytes(kReservedTailOffset, bridge.reservedTail);
  return record;
}

Bridge decodeBridge(std::span<const std::byte, kBridgeRecordSize> record) {
  const Reader in(record);
  Bridge bridge;
  bridge.enabled = in.byte(kEnabledOffset);
  in.bytes(kServerOffset, bridge.server);
  in.bytes(kChannelOffset, bridge.channel);
  terminateText(bridge.server);
  terminateText(bridge.channel);
  bridge.localPort = static_cast<std::uint16_t>(in.littleEndian(kLocalPortOffset, 2));
  bridge.upstreamKind = in.byte(kUpstreamKindOffset);
  bridge.clientKind = in.byte(kClientKindOffset);
  in.bytes(kReservedOffset, bridge.reserved);
  bridge.options = readOptions(bridge.reserved, bridge.optionsProblem);
  // A stored handle belonged to an earlier process.
  bridge.listenSocket = kNoSocket;
  bridge.acceptMessage = in.littleEndian(kAcceptMessageOffset, 4);
  in.bytes(kListenAddressOffset, bridge.listenAddress);
  in.bytes(kReservedTailOffset, bridge.reservedTail);
  return bridge;
}

}  // namespace quayside
