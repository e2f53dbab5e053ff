#include "platform/wait.h"

#include "platform/windows/win32.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>

namespace quayside::platform {
namespace {

using Clock = std::chrono::steady_clock;

// select's sets, sized for any number of sockets. Winsock's fd_set is a count
// followed by an array of SOCKETs (FD_SETSIZE only sizes the declared type),
// so a longer array of the same layout is a valid set.
class SocketSet {
 public:
  explicit SocketSet(std::size_t capacity) : storage_(capacity + 1) {}

  void add(SocketHandle socket) {
    storage_[++count_] = socket;
    const auto count = static_cast<u_int>(count_);
    std::memcpy(storage_.data(), &count, sizeof count);
  }
  bool empty() const { return readCount() == 0; }
  bool holds(SocketHandle socket) const {
    for (std::size_t i = 1; i <= readCount(); ++i) {
      if (storage_[i] == socket) {
        return true;
      }
    }
    return false;
  }
  fd_set* set() { return reinterpret_cast<fd_set*>(storage_.data()); }  // NOLINT: see above

 private:
  // The count as select left it (it keeps only the ready sockets).
  std::size_t readCount() const {
    u_int count = 0;
    std::memcpy(&count, storage_.data(), sizeof count);
    return count;
  }

  // The first element's room holds the count (u_int, padded to a SOCKET).
  std::vector<SOCKET> storage_;
  std::size_t count_ = 0;
};
static_assert(offsetof(fd_set, fd_array) == sizeof(SOCKET), "fd_set is a count, then SOCKETs");

// What is left until `deadline` as select's timeout; null for none.
timeval* selectTimeout(const std::optional<Clock::time_point>& deadline, timeval& room) {
  if (!deadline) {
    return nullptr;
  }
  auto left = std::chrono::ceil<std::chrono::microseconds>(*deadline - Clock::now()).count();
  if (left < 0) {
    left = 0;
  }
  const long long seconds = left / 1000000;
  room.tv_sec = seconds > LONG_MAX ? LONG_MAX : static_cast<long>(seconds);
  room.tv_usec = static_cast<long>(left % 1000000);
  return &room;
}

// Waits with select until a socket in the sets is ready or the timeout
// passes. select refuses sets that are all empty, so a wait on nothing only
// sleeps, as poll does. -1 with `result.error` set on failure.
int selectFor(SocketSet* readable, SocketSet* writable, SocketSet& failed,
              std::optional<std::chrono::milliseconds> timeout, WaitResult& result) {
  if (failed.empty()) {
    if (timeout) {
      ::Sleep(static_cast<DWORD>(timeout->count() > 0 ? timeout->count() : 0));
    } else {
      ::Sleep(INFINITE);
    }
    result.status = WaitStatus::kTimedOut;
    return 0;
  }
  std::optional<Clock::time_point> deadline;
  if (timeout) {
    deadline = Clock::now() + *timeout;
  }
  timeval room{};
  const int count = ::select(0, readable != nullptr ? readable->set() : nullptr,
                             writable != nullptr ? writable->set() : nullptr, failed.set(),
                             selectTimeout(deadline, room));
  if (count == SOCKET_ERROR) {
    result.error = win32::socketErrorText();
    return -1;
  }
  result.status = count == 0 ? WaitStatus::kTimedOut : WaitStatus::kReady;
  return count;
}

}  // namespace

WaitResult waitReadable(std::span<WaitEntry> entries,
                        std::optional<std::chrono::milliseconds> timeout) {
  SocketSet readable(entries.size());
  SocketSet failed(entries.size());
  for (WaitEntry& entry : entries) {
    entry.readable = false;
    if (entry.handle != kNoSocket) {
      if (!entry.hangUpOnly) {
        readable.add(entry.handle);
      }
      failed.add(entry.handle);
    }
  }
  WaitResult result;
  if (selectFor(&readable, nullptr, failed, timeout, result) < 0) {
    return result;
  }
  // A closed peer shows as readable (the receive then reads its end); a
  // failed one may show in the exception set.
  for (WaitEntry& entry : entries) {
    entry.readable =
        entry.handle != kNoSocket && (readable.holds(entry.handle) || failed.holds(entry.handle));
  }
  return result;
}

WaitResult waitWritable(SocketHandle handle, std::optional<std::chrono::milliseconds> timeout) {
  // A connect that fails shows in the exception set, not the writable one.
  SocketSet writable(1);
  SocketSet failed(1);
  if (handle != kNoSocket) {
    writable.add(handle);
    failed.add(handle);
  }
  WaitResult result;
  selectFor(nullptr, &writable, failed, timeout, result);
  return result;
}

}  // namespace quayside::platform
