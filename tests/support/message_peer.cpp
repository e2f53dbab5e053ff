#include "support/message_peer.h"

#include "platform/wait.h"

#include <cstdio>

namespace quayside::testing {
namespace {

std::string joined(const std::vector<std::string>& messages) {
  std::string text;
  for (const auto& message : messages) {
    text += "\n    " + printable(message);
  }
  return text.empty() ? " (nothing)" : text;
}

}  // namespace

std::string printable(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      text += hex;
    } else {
      text += c;
    }
  }
  return text;
}

MessagePeer::MessagePeer(MessagePeer&& other) noexcept
    : onMessage(std::move(other.onMessage)),
      terminator_(std::move(other.terminator_)),
      stream_(std::move(other.stream_)),
      socket_(other.socket_),
      pending_(std::move(other.pending_)),
      closedByPeer_(other.closedByPeer_),
      skipped_(std::move(other.skipped_)) {
  other.socket_ = kNoSocket;
}

MessagePeer& MessagePeer::operator=(MessagePeer&& other) noexcept {
  if (this != &other) {
    close();
    onMessage = std::move(other.onMessage);
    terminator_ = std::move(other.terminator_);
    stream_ = std::move(other.stream_);
    socket_ = other.socket_;
    pending_ = std::move(other.pending_);
    closedByPeer_ = other.closedByPeer_;
    skipped_ = std::move(other.skipped_);
    other.socket_ = kNoSocket;
  }
  return *this;
}

MessagePeer::~MessagePeer() {
  close();
}

bool MessagePeer::connect(std::uint16_t port, std::optional<std::uint32_t> sourceAddress) {
  close();
  socket_ = connectLoopback(port, sourceAddress);
  pending_.clear();
  closedByPeer_ = false;
  return socket_ != kNoSocket;
}

bool MessagePeer::send(std::string_view bytes) {
  return stream_ ? socket_ != kNoSocket && stream_->sendAll(bytes)
                 : static_cast<bool>(platform::sendAll(socket_, bytes));
}

void MessagePeer::close() {
  if (stream_) {
    stream_->close();
    socket_ = kNoSocket;
  }
  platform::closeSocket(socket_);
}

bool MessagePeer::fill(Clock::time_point deadline) {
  if (socket_ == kNoSocket || closedByPeer_) {
    return false;
  }
  char chunk[65536];
  const long count = stream_ ? receiveStream(deadline, chunk)
                             : receiveBefore(socket_, chunk, sizeof chunk, deadline);
  if (count == 0) {
    closedByPeer_ = true;
  }
  if (count <= 0) {
    return false;
  }
  pending_.append(chunk, static_cast<std::size_t>(count));
  return true;
}

long MessagePeer::receiveStream(Clock::time_point deadline, std::span<char> into) {
  for (;;) {
    if (!stream_->hasBufferedInput()) {
      platform::WaitEntry entry{socket_};
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= std::chrono::milliseconds(0) ||
          platform::waitReadable({&entry, 1}, left).status != platform::WaitStatus::kReady) {
        return -1;
      }
    }
    const long count = stream_->receiveSome(into);
    if (count != platform::kNoBytesYet) {
      return count < 0 ? 0 : count;
    }
  }
}

std::optional<std::string> MessagePeer::next(Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto end = pending_.find(terminator_);
    if (end != std::string::npos) {
      std::string message = pending_.substr(0, end + terminator_.size());
      pending_.erase(0, end + terminator_.size());
      if (onMessage) {
        onMessage(*this, message);
      }
      return message;
    }
    if (!fill(deadline)) {
      return std::nullopt;
    }
  }
}

Outcome MessagePeer::waitFor(const std::function<bool(const std::string&)>& match,
                             std::string_view what, std::string* found, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<std::string> passed;
  for (;;) {
    const auto left = deadline - Clock::now();
    auto message = left > Clock::duration::zero() ? next(left) : std::nullopt;
    if (!message) {
      return Outcome::failure(std::string(silence()) + " waiting for " + std::string(what) +
                              "; received instead:" + joined(passed) +
                              (pending_.empty() ? "" : "\n  unterminated: " + printable(pending_)));
    }
    if (match(*message)) {
      if (found != nullptr) {
        *found = *message;
      }
      return Outcome::success();
    }
    passed.push_back(*message);
    skipped_.push_back(*message);
  }
}

Outcome MessagePeer::waitForExact(std::string_view message, Clock::duration timeout) {
  return waitFor([message](const std::string& m) { return m == message; },
                 "\"" + printable(message) + "\"", nullptr, timeout);
}

Outcome MessagePeer::waitForPrefix(std::string_view prefix, std::string* found,
                                   Clock::duration timeout) {
  return waitFor([prefix](const std::string& m) { return m.starts_with(prefix); },
                 "a message starting \"" + printable(prefix) + "\"", found, timeout);
}

Outcome MessagePeer::expectNext(std::string_view message, Clock::duration timeout) {
  const auto received = next(timeout);
  if (!received) {
    return Outcome::failure(std::string(silence()) + " waiting for \"" + printable(message) + "\"" +
                            (pending_.empty() ? "" : "; unterminated: " + printable(pending_)));
  }
  if (*received != message) {
    return Outcome::failure("expected \"" + printable(message) + "\"\n    but got \"" +
                            printable(*received) + "\"");
  }
  return Outcome::success();
}

std::optional<std::string> MessagePeer::readUntilClosed(Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!closedByPeer_) {
    if (!fill(deadline) && !closedByPeer_) {
      return std::nullopt;
    }
  }
  std::string rest;
  rest.swap(pending_);
  return rest;
}

}  // namespace quayside::testing
