#include "e2e/peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quayside::e2e {
namespace {

sockaddr_in loopbackAddress(const char* dotted, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, dotted, &address.sin_addr);
  return address;
}

std::string joined(const std::vector<std::string>& messages) {
  std::string text;
  for (const auto& message : messages) {
    text += "\n    " + printable(message);
  }
  return text.empty() ? " (nothing)" : text;
}

}  // namespace

std::uint16_t freeLoopbackPort() {
  const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopbackAddress("127.0.0.1", 0);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(probe);
  return port;
}

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

MessagePeer::~MessagePeer() {
  close();
}

bool MessagePeer::connect(std::uint16_t port, std::optional<std::string> sourceAddress) {
  close();
  socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) {
    return false;
  }
  const int one = 1;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (sourceAddress) {
    sockaddr_in source = loopbackAddress(sourceAddress->c_str(), 0);
    if (bind(socket_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
      close();
      return false;
    }
  }
  sockaddr_in target = loopbackAddress("127.0.0.1", port);
  if (::connect(socket_, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
    close();
    return false;
  }
  pending_.clear();
  closedByPeer_ = false;
  return true;
}

bool MessagePeer::send(std::string_view bytes) {
  while (!bytes.empty() && socket_ >= 0) {
    const ssize_t sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return bytes.empty();
}

void MessagePeer::close() {
  if (socket_ >= 0) {
    ::close(socket_);
    socket_ = -1;
  }
}

bool MessagePeer::fill(Clock::time_point deadline) {
  if (socket_ < 0 || closedByPeer_) {
    return false;
  }
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd watched{socket_, POLLIN, 0};
    const int ready = poll(&watched, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return false;
    }
    char chunk[16384];
    const ssize_t count = recv(socket_, chunk, sizeof chunk, 0);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      closedByPeer_ = true;
      return false;
    }
    pending_.append(chunk, static_cast<std::size_t>(count));
    return true;
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
        onMessage(message);
      }
      return message;
    }
    if (!fill(deadline)) {
      return std::nullopt;
    }
  }
}

::testing::AssertionResult MessagePeer::waitFor(
    const std::function<bool(const std::string&)>& match, std::string_view what, std::string* found,
    Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<std::string> passed;
  for (;;) {
    const auto left = deadline - Clock::now();
    auto message = left > Clock::duration::zero() ? next(left) : std::nullopt;
    if (!message) {
      return ::testing::AssertionFailure()
             << (closedByPeer_ ? "connection closed" : "timed out") << " waiting for " << what
             << "; received instead:" << joined(passed)
             << (pending_.empty() ? "" : "\n  unterminated: " + printable(pending_));
    }
    if (match(*message)) {
      if (found != nullptr) {
        *found = *message;
      }
      return ::testing::AssertionSuccess();
    }
    passed.push_back(*message);
    skipped_.push_back(*message);
  }
}

::testing::AssertionResult MessagePeer::waitForExact(std::string_view message,
                                                     Clock::duration timeout) {
  return waitFor([message](const std::string& m) { return m == message; },
                 "\"" + printable(message) + "\"", nullptr, timeout);
}

::testing::AssertionResult MessagePeer::waitForPrefix(std::string_view prefix, std::string* found,
                                                      Clock::duration timeout) {
  return waitFor([prefix](const std::string& m) { return m.starts_with(prefix); },
                 "a message starting \"" + printable(prefix) + "\"", found, timeout);
}

::testing::AssertionResult MessagePeer::expectNext(std::string_view message,
                                                   Clock::duration timeout) {
  const auto received = next(timeout);
  if (!received) {
    return ::testing::AssertionFailure()
           << (closedByPeer_ ? "connection closed" : "timed out") << " waiting for \""
           << printable(message) << "\""
           << (pending_.empty() ? "" : "; unterminated: " + printable(pending_));
  }
  if (*received != message) {
    return ::testing::AssertionFailure() << "expected \"" << printable(message)
                                         << "\"\n    but got \"" << printable(*received) << "\"";
  }
  return ::testing::AssertionSuccess();
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

}  // namespace quayside::e2e
