#include "platform/process.h"

#include "platform/net.h"
#include "platform/windows/win32.h"

#include <array>
#include <atomic>
#include <climits>

namespace quayside::platform {
namespace {

// The channel's sending socket, for the console handler, which runs on a
// thread of its own.
std::atomic<SocketHandle> stopSender{kNoSocket};

BOOL WINAPI onConsoleControl(DWORD type) {
  const SocketHandle sender = stopSender.load();
  if (sender == kNoSocket) {
    return FALSE;  // the next handler (by default: end the process)
  }
  const auto byte = static_cast<char>(type);
  ::send(sender, &byte, 1, 0);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // Windows ends the process as soon as this returns, with an exit code of
    // its own: never return, so that the owner stops cleanly and main's
    // return ends the process with main's code. Windows ends a process that
    // takes too long (5 s after a close) itself.
    ::Sleep(INFINITE);
  }
  return TRUE;
}

// A connected loopback pair: the console handler sends the event's number
// on one end, the owner waits on the other alongside its sockets.
class SocketStopChannel final : public StopChannel {
 public:
  SocketStopChannel(SocketHandle receiver, SocketHandle sender)
      : receiver_(receiver), sender_(sender) {
    stopSender.store(sender_);
    // A program started in a process group of its own ignores Ctrl+C until
    // it asks for it again.
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
  }

  ~SocketStopChannel() override {
    ::SetConsoleCtrlHandler(onConsoleControl, FALSE);
    stopSender.store(kNoSocket);
    closeSocket(receiver_);
    closeSocket(sender_);
  }

  SocketStopChannel(const SocketStopChannel&) = delete;
  SocketStopChannel& operator=(const SocketStopChannel&) = delete;

  SocketHandle handle() const override { return receiver_; }

  std::string takeReason() override {
    char byte = 0;
    if (platform::receiveSome(receiver_, &byte, 1) != 1) {
      return {};
    }
    switch (static_cast<unsigned char>(byte)) {
      case CTRL_C_EVENT:
        return "Ctrl+C";
      case CTRL_BREAK_EVENT:
        return "Ctrl+Break";
      case CTRL_CLOSE_EVENT:
        return "console close";
      case CTRL_LOGOFF_EVENT:
        return "logoff";
      case CTRL_SHUTDOWN_EVENT:
        return "shutdown";
      default:
        return "console event " + std::to_string(static_cast<unsigned char>(byte));
    }
  }

 private:
  SocketHandle receiver_;
  SocketHandle sender_;
};

// A connected loopback pair: select waits on sockets only, so a socket is
// what one thread makes readable for another. The receiving end never blocks:
// nothing to read means nothing was asked.
bool openLoopbackPair(SocketHandle& receiver, SocketHandle& sender, std::string& error) {
  if (!win32::startWinsock(&error)) {
    return false;
  }
  SocketHandle listener = listenOn(kLoopback, 0, 1, error);
  if (listener == kNoSocket) {
    return false;
  }
  sender = createTcpSocket();
  receiver = kNoSocket;
  setBlocking(listener, true);
  if (sender != kNoSocket && connectTo(sender, kLoopback, boundPort(listener))) {
    std::uint32_t peer = 0;
    receiver = acceptFrom(listener, peer, &error);
    // Another program could have connected first: only our own end will do.
    sockaddr_in peerEnd{};
    int length = sizeof peerEnd;
    if (receiver != kNoSocket &&
        (::getpeername(receiver, reinterpret_cast<sockaddr*>(&peerEnd), &length) != 0 ||
         ntohs(peerEnd.sin_port) != boundPort(sender))) {
      error = "the loopback pair was taken";
      closeSocket(receiver);
    }
  } else {
    error = win32::socketErrorText();
  }
  closeSocket(listener);
  if (receiver == kNoSocket) {
    closeSocket(sender);
    return false;
  }
  setBlocking(receiver, false);
  return true;
}

// The loopback pair holds a byte while raised.
class SocketWakeup final : public Wakeup {
 public:
  SocketWakeup(SocketHandle receiver, SocketHandle sender) : receiver_(receiver), sender_(sender) {}

  ~SocketWakeup() override {
    closeSocket(receiver_);
    closeSocket(sender_);
  }

  SocketWakeup(const SocketWakeup&) = delete;
  SocketWakeup& operator=(const SocketWakeup&) = delete;

  SocketHandle handle() const override { return receiver_; }

  void raise() override {
    const char byte = 1;
    ::send(sender_, &byte, 1, 0);
  }

  void lower() override {
    std::array<char, 64> bytes{};
    while (platform::receiveSome(receiver_, bytes.data(), bytes.size()) > 0) {
    }
  }

 private:
  SocketHandle receiver_;
  SocketHandle sender_;
};

}  // namespace

void raiseDescriptorLimit() {}

void ignoreSigpipe() {
  // Windows raises nothing when a peer is gone: send fails with an error.
}

bool writeStandardError(std::string_view bytes) {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) {
    return false;
  }
  // A console shows UTF-16 as it is, whatever its code page; a pipe or a
  // file gets the UTF-8 bytes.
  if (DWORD mode = 0; ::GetConsoleMode(error, &mode) != 0) {
    const std::wstring text = win32::wide(bytes);
    DWORD written = 0;
    return ::WriteConsoleW(error, text.data(), static_cast<DWORD>(text.size()), &written,
                           nullptr) != 0 &&
           written == text.size();
  }
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > INT_MAX ? INT_MAX : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (::WriteFile(error, bytes.data(), chunk, &written, nullptr) == 0 || written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

std::unique_ptr<StopChannel> openStopChannel(std::string& error) {
  SocketHandle receiver = kNoSocket;
  SocketHandle sender = kNoSocket;
  if (!openLoopbackPair(receiver, sender, error)) {
    return nullptr;
  }
  return std::make_unique<SocketStopChannel>(receiver, sender);
}

std::unique_ptr<Wakeup> openWakeup(std::string& error) {
  SocketHandle receiver = kNoSocket;
  SocketHandle sender = kNoSocket;
  if (!openLoopbackPair(receiver, sender, error)) {
    return nullptr;
  }
  // raise never waits either: a full pair is readable already.
  setBlocking(sender, false);
  return std::make_unique<SocketWakeup>(receiver, sender);
}

}  // namespace quayside::platform
