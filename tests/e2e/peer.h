#pragma once

#include "e2e/child_process.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quayside::e2e {

// A port on 127.0.0.1 that was free a moment ago (bound to port 0, then
// released); good enough for a test that owns the machine's loopback.
std::uint16_t freeLoopbackPort();

// One TCP connection carrying terminated messages ('|' for NMDC, CR LF for
// IRC). Every read waits at most until its deadline; nothing here blocks
// for good.
class MessagePeer {
 public:
  explicit MessagePeer(std::string terminator) : terminator_(std::move(terminator)) {}
  ~MessagePeer();
  MessagePeer(const MessagePeer&) = delete;
  MessagePeer& operator=(const MessagePeer&) = delete;

  // Connects to 127.0.0.1:port, from `sourceAddress` when one is given
  // (to appear as another loopback host).
  bool connect(std::uint16_t port, std::optional<std::string> sourceAddress = std::nullopt);

  bool send(std::string_view bytes);
  void close();
  bool connected() const { return socket_ >= 0; }

  // The next whole message, terminator included; nothing on timeout or when
  // the peer closed first (closedByPeer() tells which).
  std::optional<std::string> next(Clock::duration timeout = kReadTimeout);

  // Messages are read (and kept in skipped()) until one satisfies `match`.
  ::testing::AssertionResult waitFor(const std::function<bool(const std::string&)>& match,
                                     std::string_view what, std::string* found = nullptr,
                                     Clock::duration timeout = kReadTimeout);
  ::testing::AssertionResult waitForExact(std::string_view message,
                                          Clock::duration timeout = kReadTimeout);
  ::testing::AssertionResult waitForPrefix(std::string_view prefix, std::string* found = nullptr,
                                           Clock::duration timeout = kReadTimeout);

  // The very next message must be `message`.
  ::testing::AssertionResult expectNext(std::string_view message,
                                        Clock::duration timeout = kReadTimeout);

  // Waits until the peer closes; gives what arrived before the close, or
  // nothing if the connection is still open at the deadline.
  std::optional<std::string> readUntilClosed(Clock::duration timeout = kReadTimeout);

  bool closedByPeer() const { return closedByPeer_; }
  // What waitFor passed over since the last clearSkipped().
  const std::vector<std::string>& skipped() const { return skipped_; }
  void clearSkipped() { skipped_.clear(); }
  void skippedMessage(std::string message) { skipped_.push_back(std::move(message)); }

  // A hook run for each message read (the IRC user answers PING with it).
  std::function<void(const std::string&)> onMessage;

 private:
  // Reads once into pending_, waiting until `deadline`; false on timeout/close.
  bool fill(Clock::time_point deadline);

  std::string terminator_;
  int socket_ = -1;
  std::string pending_;
  bool closedByPeer_ = false;
  std::vector<std::string> skipped_;
};

// Shows message bytes readably in failure output (CR, LF and controls escaped).
std::string printable(std::string_view bytes);

}  // namespace quayside::e2e
