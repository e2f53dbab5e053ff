#include "platform/process.h"

#include "platform/net.h"
#include "platform/windows/win32.h"

#include <atomic>
#include <climits>

namespace quayside::platform {
namespace {

// The channel's sending socket and an event set when the channel closes,
// for the console handler, which runs on a thread of its own.
std::atomic<SocketHandle> stopSender{kNoSocket};
std::atomic<HANDLE> stopClosed{nullptr};

BOOL WINAPI onConsoleControl(DWORD type) {
  const SocketHandle sender = stopSender.load();
  if (sender == kNoSocket) {
    return FALSE;  // the next handler (by default: end the process)
  }
  const auto byte = static_cast<char>(type);
  ::send(sender, &byte, 1, 0);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // Windows ends the process once this returns: hold it back while the
    // owner stops cleanly and returns from main (which exits with its code).
    // Windows itself ends the wait after a few seconds.
    if (const HANDLE closed = stopClosed.load(); closed != nullptr) {
      ::WaitForSingleObject(closed, 10000);
    }
  }
  return TRUE;
}

// A connected loopback pair: the console handler sends the event's number
// on one end, the owner waits on the other alongside its sockets.
class SocketStopChannel final : public StopChannel {
 public:
  SocketStopChannel(SocketHandle receiver, SocketHandle sender, HANDLE closed)
      : receiver_(receiver), sender_(sender), closed_(closed) {
    stopClosed.store(closed_);
    stopSender.store(sender_);
    // A program started in a process group of its own ignores Ctrl+C until
    // it asks for it again.
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
  }

  ~SocketStopChannel() override {
    ::SetConsoleCtrlHandler(onConsoleControl, FALSE);
    stopSender.store(kNoSocket);
    ::SetEvent(closed_);
    closeSocket(receiver_);
    closeSocket(sender_);
    // A handler still running holds the event; it is freed with the process.
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
  HANDLE closed_;
};

}  // namespace

void ignoreSigpipe() {
  // Windows raises nothing when a peer is gone: send fails with an error.
}

bool writeStandardError(std::string_view bytes) {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) {
    return false;
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
  if (!win32::startWinsock(&error)) {
    return nullptr;
  }
  SocketHandle listener = listenOn(kLoopback, 0, 1, error);
  if (listener == kNoSocket) {
    return nullptr;
  }
  SocketHandle sender = createTcpSocket();
  SocketHandle receiver = kNoSocket;
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
      error = "the stop channel's loopback pair was taken";
      closeSocket(receiver);
    }
  } else {
    error = win32::socketErrorText();
  }
  closeSocket(listener);
  const HANDLE closed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (receiver == kNoSocket || closed == nullptr) {
    if (closed == nullptr) {
      error = win32::errorText(::GetLastError());
    } else {
      ::CloseHandle(closed);
    }
    closeSocket(receiver);
    closeSocket(sender);
    return nullptr;
  }
  return std::make_unique<SocketStopChannel>(receiver, sender, closed);
}

}  // namespace quayside::platform
