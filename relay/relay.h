#pragma once

#include "platform/socket_handle.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quayside {

// Received bytes held per direction; one more byte holds the NUL after them.
inline constexpr std::size_t kStreamCapacity = 10000;
inline constexpr std::size_t kOutCapacity = 32768;

inline constexpr std::size_t kNickCapacity = 101;  // 100 characters and a NUL
inline constexpr std::size_t kMyInfoCapacity = 1024;
inline constexpr std::size_t kServerTextCapacity = 512;
inline constexpr std::size_t kChannelCapacity = 256;
inline constexpr std::size_t kTopicCapacity = 1024;  // 1,022 characters are kept

// loginFlags bits; each only ever goes from 0 to 1 while the Relay lives.
inline constexpr std::uint8_t kLoginValidated = 0x01;     // "$Hello" sent, or NICK from user info
inline constexpr std::uint8_t kLoginNickSent = 0x02;      // a NICK line went to the server
inline constexpr std::uint8_t kLoginInfoReceived = 0x04;  // "$MyINFO $ALL " received
inline constexpr std::uint8_t kLoginUserSent = 0x08;      // the USER line went to the server
inline constexpr std::uint8_t kLoginJoinSent = 0x20;      // the channel JOIN went to the server
inline constexpr std::uint8_t kLoginHubNamed = 0x40;      // first JOIN announced as the hub name

// clientFeatures bits.
inline constexpr std::uint8_t kFeatureNickChange = 0x01;

// One accepted hub-client connection paired with its IRC server connection.
// Plain data: created zero-filled by the accept, then owned and changed only
// by its relay thread. All buffers are inline so relaying allocates nothing.
struct Relay {
  Relay* next = nullptr;  // guarded by registryLock

  SocketHandle clientSocket = kNoSocket;
  SocketHandle serverSocket = kNoSocket;

  // Where the IRC server is reached: IPv4 address and port, both in host order.
  std::uint32_t serverAddress = 0;
  std::uint16_t serverPort = 0;

  std::uint8_t loginFlags = 0;
  std::uint8_t clientFeatures = 0;

  std::array<char, kNickCapacity> nick{};
  std::array<char, kMyInfoCapacity> myInfo{};
  std::array<char, kServerTextCapacity> serverText{};
  std::array<char, kChannelCapacity> channel{};
  std::array<char, kTopicCapacity> topic{};

  std::uint8_t upstreamKind = 0;  // nonzero: IRC server (default port 6667); 0: DC hub (411)
  std::uint8_t clientKind = 0;

  std::uint32_t clientLength = 0;
  std::uint32_t clientOffset = 0;
  std::array<char, kStreamCapacity + 1> clientBuffer{};

  std::uint32_t serverLength = 0;
  std::uint32_t serverOffset = 0;
  std::array<char, kStreamCapacity + 1> serverBuffer{};

  std::array<char, kOutCapacity> outBuffer{};
};

// The NUL-terminated text held in a fixed field; never reads past the field.
template <std::size_t N>
std::string_view fieldText(const std::array<char, N>& field) {
  std::size_t length = 0;
  while (length < N && field[length] != '\0') {
    ++length;
  }
  return {field.data(), length};
}

// Copies `text` into a fixed field, cut to `limit` characters (at most N - 1),
// and NUL-terminates it.
template <std::size_t N>
void setFieldText(std::array<char, N>& field, std::string_view text, std::size_t limit = N - 1) {
  if (limit > N - 1) {
    limit = N - 1;
  }
  const std::size_t length = text.size() < limit ? text.size() : limit;
  for (std::size_t i = 0; i < length; ++i) {
    field[i] = text[i];
  }
  field[length] = '\0';
}

}  // namespace quayside
