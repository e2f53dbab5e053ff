#include "platform/stream.h"

#include "platform/net.h"
#include "platform/tcp_connect.h"
#include "platform/wait.h"
#include "platform/windows/win32.h"

#include <vector>

namespace quayside::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The address as written before a port: IPv6 in brackets.
std::string addressText(const ADDRINFOW& address) {
  wchar_t text[INET6_ADDRSTRLEN] = {};
  if (address.ai_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address.ai_addr);
    ::InetNtopW(AF_INET6, &in6->sin6_addr, text, INET6_ADDRSTRLEN);
    return "[" + win32::utf8(text) + "]";
  }
  const auto* in = reinterpret_cast<const sockaddr_in*>(address.ai_addr);
  ::InetNtopW(AF_INET, &in->sin_addr, text, INET6_ADDRSTRLEN);
  return win32::utf8(text);
}

// One non-blocking connect, waited for until `deadline`.
ConnectAttempt connectOne(const ADDRINFOW& address, Clock::time_point deadline) {
  ConnectAttempt attempt;
  SocketHandle socket = ::WSASocketW(address.ai_family, address.ai_socktype, address.ai_protocol,
                                     nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (socket == INVALID_SOCKET) {
    attempt.noSocket = true;
    attempt.error = win32::socketErrorText();
    return attempt;
  }
  setBlocking(socket, false);
  int error = 0;
  if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    error = ::WSAGetLastError();
  }
  if (error == WSAEWOULDBLOCK) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    const WaitResult wait = waitWritable(socket, left > milliseconds(0) ? left : milliseconds(0));
    if (wait.status == WaitStatus::kTimedOut) {
      attempt.timedOut = true;
      attempt.error = "no answer in time";
      closeSocket(socket);
      return attempt;
    }
    int length = sizeof error;
    if (wait.status == WaitStatus::kFailed ||
        ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
      error = ::WSAGetLastError();
    }
  }
  if (error != 0) {
    attempt.error = win32::errorText(static_cast<unsigned long>(error));
    closeSocket(socket);
    return attempt;
  }
  setBlocking(socket, true);
  // Chat lines are small and latency matters more than packet count.
  const BOOL on = TRUE;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  attempt.socket = socket;
  return attempt;
}

}  // namespace

Connection connectTcp(const std::string& host, std::uint16_t port, milliseconds limit) {
  Connection connection;
  if (host.empty()) {
    connection.failure = ConnectFailure::kNotResolved;
    connection.error = "no host name";
    return connection;
  }
  std::string error;
  if (!win32::startWinsock(&error)) {
    connection.failure = ConnectFailure::kNoSocket;
    connection.error = error;
    return connection;
  }
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  ADDRINFOW* results = nullptr;
  const std::wstring service = std::to_wstring(port);
  if (const int status =
          ::GetAddrInfoW(win32::wide(host).c_str(), service.c_str(), &hints, &results);
      status != 0 || results == nullptr) {
    connection.failure = ConnectFailure::kNotResolved;
    connection.error =
        status != 0 ? win32::errorText(static_cast<unsigned long>(status)) : "no address";
    if (results != nullptr) {
      ::FreeAddrInfoW(results);
    }
    return connection;
  }
  std::vector<const ADDRINFOW*> addresses;
  for (const ADDRINFOW* r = results; r != nullptr; r = r->ai_next) {
    if ((r->ai_family == AF_INET || r->ai_family == AF_INET6) && r->ai_addr != nullptr) {
      addresses.push_back(r);
    }
  }

  connection = connectEach(
      addresses.size(), limit, [&](std::size_t i) { return addressText(*addresses[i]); },
      [&](std::size_t i, Clock::time_point deadline) {
        return connectOne(*addresses[i], deadline);
      });
  ::FreeAddrInfoW(results);
  return connection;
}

}  // namespace quayside::platform
