#pragma once

#include "platform/stream.h"
#include "support/loopback.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quayside::testing {

// The result of a wait: success, or a failure that says what was expected
// and what arrived instead. It converts to GoogleTest's AssertionResult (any
// type built from a bool that takes streamed text), so
// EXPECT_TRUE(peer.expectNext(...)) prints the failure while this library
// needs no GoogleTest (the benchmark links it too).
class Outcome {
 public:
  static Outcome success() { return Outcome(true, {}); }
  static Outcome failure(std::string why) { return Outcome(false, std::move(why)); }

  explicit operator bool() const { return ok_; }
  const std::string& message() const { return message_; }

  // Adds context to the failure text.
  Outcome& operator<<(std::string_view more) {
    message_ += more;
    return *this;
  }

  // Checked with plain expressions rather than std::constructible_from:
  // overload resolution also tries this conversion on incomplete types, which
  // the standard traits reject with a hard error.
  template <typename Assertion>
  requires requires(Assertion& result, const std::string& text) {
    sizeof(Assertion);
    Assertion(true);
    result << text;
  }
  operator Assertion() const {
    Assertion result(ok_);
    result << message_;
    return result;
  }

 private:
  Outcome(bool ok, std::string message) : ok_(ok), message_(std::move(message)) {}

  bool ok_;
  std::string message_;
};

// One TCP connection carrying terminated messages ('|' for NMDC, CR LF for
// IRC). Every read waits at most until its deadline; nothing here blocks
// for good. next() is the benchmark's timed path: one copy out of the
// receive buffer, nothing more.
class MessagePeer {
 public:
  explicit MessagePeer(std::string terminator) : terminator_(std::move(terminator)) {}
  // Takes ownership of a connected socket (one accepted by a listener).
  MessagePeer(std::string terminator, SocketHandle connected)
      : terminator_(std::move(terminator)), socket_(connected) {}
  // Takes ownership of a connected stream (the server side of TLS).
  MessagePeer(std::string terminator, std::unique_ptr<platform::ByteStream> stream)
      : terminator_(std::move(terminator)),
        stream_(std::move(stream)),
        socket_(stream_ ? stream_->handle() : kNoSocket) {}
  MessagePeer(MessagePeer&& other) noexcept;
  MessagePeer& operator=(MessagePeer&& other) noexcept;
  ~MessagePeer();

  // Connects to 127.0.0.1:port, from `sourceAddress` when one is given
  // (to appear as another loopback host).
  bool connect(std::uint16_t port, std::optional<std::uint32_t> sourceAddress = std::nullopt);

  bool send(std::string_view bytes);
  void close();
  bool connected() const { return socket_ != kNoSocket; }
  SocketHandle socket() const { return socket_; }
  // The stream the peer reads and writes through, when it was given one.
  platform::ByteStream* stream() const { return stream_.get(); }

  // The next whole message, terminator included; nothing on timeout or when
  // the peer closed first (closedByPeer() tells which).
  std::optional<std::string> next(Clock::duration timeout = kReadTimeout);

  // Messages are read (and kept in skipped()) until one satisfies `match`.
  Outcome waitFor(const std::function<bool(const std::string&)>& match, std::string_view what,
                  std::string* found = nullptr, Clock::duration timeout = kReadTimeout);
  Outcome waitForExact(std::string_view message, Clock::duration timeout = kReadTimeout);
  Outcome waitForPrefix(std::string_view prefix, std::string* found = nullptr,
                        Clock::duration timeout = kReadTimeout);

  // The very next message must be `message`.
  Outcome expectNext(std::string_view message, Clock::duration timeout = kReadTimeout);

  // Waits until the peer closes; gives what arrived before the close, or
  // nothing if the connection is still open at the deadline.
  std::optional<std::string> readUntilClosed(Clock::duration timeout = kReadTimeout);

  bool closedByPeer() const { return closedByPeer_; }
  // Bytes received after the last whole message.
  const std::string& unterminated() const { return pending_; }
  // What waitFor passed over since the last clearSkipped().
  const std::vector<std::string>& skipped() const { return skipped_; }
  void clearSkipped() { skipped_.clear(); }
  void skippedMessage(std::string message) { skipped_.push_back(std::move(message)); }

  // A hook run for each message read (the IRC user answers PING with it).
  std::function<void(MessagePeer&, const std::string&)> onMessage;

 private:
  // Reads once into pending_, waiting until `deadline`; false on timeout/close.
  bool fill(Clock::time_point deadline);
  // One receive from stream_ as receiveBefore does it from a socket.
  long receiveStream(Clock::time_point deadline, std::span<char> into);
  // Why nothing arrived: "connection closed" or "timed out".
  const char* silence() const { return closedByPeer_ ? "connection closed" : "timed out"; }

  std::string terminator_;
  std::unique_ptr<platform::ByteStream> stream_;  // null: socket_ is read directly
  SocketHandle socket_ = kNoSocket;
  std::string pending_;
  bool closedByPeer_ = false;
  std::vector<std::string> skipped_;
};

// Shows message bytes readably in failure output (CR, LF and controls escaped).
std::string printable(std::string_view bytes);

}  // namespace quayside::testing
