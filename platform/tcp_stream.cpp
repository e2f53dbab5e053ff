#include "platform/net.h"
#include "platform/tcp_connect.h"

#include <utility>
#include <vector>

namespace quayside::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class TcpStream final : public ByteStream {
 public:
  explicit TcpStream(SocketHandle socket) : socket_(socket) {}
  ~TcpStream() override { closeSocket(socket_); }
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  long receiveSome(std::span<char> into) override {
    return platform::receiveSome(socket_, into.data(), into.size());
  }
  SendResult sendAll(std::string_view bytes) override { return platform::sendAll(socket_, bytes); }
  void setSendLimit(milliseconds limit) override { platform::setSendLimit(socket_, limit); }
  bool hasBufferedInput() const override { return false; }
  SocketHandle handle() const override { return socket_; }
  void close() override { closeSocket(socket_); }

 private:
  SocketHandle socket_;
};

}  // namespace

std::unique_ptr<ByteStream> adoptTcpSocket(SocketHandle socket) {
  return std::make_unique<TcpStream>(socket);
}

Connection connectEach(
    std::size_t count, milliseconds limit,
    const std::function<std::string(std::size_t)>& addressText,
    const std::function<ConnectAttempt(std::size_t, Clock::time_point)>& connectOne) {
  Connection connection;
  const Clock::time_point deadline = Clock::now() + limit;
  std::vector<std::pair<std::string, ConnectAttempt>> failed;
  for (std::size_t i = 0; i < count; ++i) {
    const auto share = (deadline - Clock::now()) / static_cast<long>(count - i);
    connection.address = addressText(i);
    ConnectAttempt attempt = connectOne(i, Clock::now() + share);
    if (attempt.socket != kNoSocket) {
      connection.stream = adoptTcpSocket(attempt.socket);
      return connection;
    }
    failed.emplace_back(connection.address, std::move(attempt));
  }

  if (failed.empty()) {
    connection.failure = ConnectFailure::kNotResolved;
    connection.error = "no IPv4 or IPv6 address";
    return connection;
  }
  bool allTimedOut = true;
  bool allWithoutSocket = true;
  for (const auto& [address, attempt] : failed) {
    allTimedOut = allTimedOut && attempt.timedOut;
    allWithoutSocket = allWithoutSocket && attempt.noSocket;
    if (failed.size() == 1) {
      connection.error = attempt.error;
    } else {
      connection.error += (connection.error.empty() ? "" : "; ") + address + ": " + attempt.error;
    }
  }
  connection.failure = allWithoutSocket ? ConnectFailure::kNoSocket
                       : allTimedOut    ? ConnectFailure::kTimedOut
                                        : ConnectFailure::kNotConnected;
  return connection;
}

}  // namespace quayside::platform
