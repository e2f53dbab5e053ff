#include "platform/wait.h"

#include <poll.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace quayside::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr short kData = POLLIN;
// The peer's FIN, whatever data waits before it (Linux); POLLHUP and POLLERR
// come without asking.
#ifdef POLLRDHUP
constexpr short kHangUp = POLLRDHUP;
#else
constexpr short kHangUp = 0;
#endif

// poll's timeout for what is left until `deadline`: -1 for none.
int pollTimeout(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) {
    return -1;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  if (left <= 0) {
    return 0;
  }
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Polls until something is ready, the timeout passes or poll fails; an
// interrupted poll is retried for the time that is left. Returns poll's count
// (-1 with `result.error` set on failure) and sets `result.status`.
int pollFor(std::span<pollfd> fds, std::optional<std::chrono::milliseconds> timeout,
            WaitResult& result) {
  std::optional<Clock::time_point> deadline;
  if (timeout) {
    deadline = Clock::now() + *timeout;
  }
  int count;
  do {
    count = ::poll(fds.data(), fds.size(), pollTimeout(deadline));
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    result.error = std::strerror(errno);
    return count;
  }
  result.status = count == 0 ? WaitStatus::kTimedOut : WaitStatus::kReady;
  return count;
}

}  // namespace

WaitResult waitReadable(std::span<WaitEntry> entries,
                        std::optional<std::chrono::milliseconds> timeout) {
  // The relay thread waits on two handles per pass: no allocation for that.
  std::array<pollfd, 8> local{};
  std::vector<pollfd> many;
  std::span<pollfd> fds(local.data(), entries.size() <= local.size() ? entries.size() : 0);
  if (entries.size() > local.size()) {
    many.resize(entries.size());
    fds = many;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // poll skips negative descriptors, which is what kNoSocket is.
    fds[i] = pollfd{entries[i].handle, entries[i].hangUpOnly ? kHangUp : kData, 0};
    entries[i].readable = false;
  }

  WaitResult result;
  if (pollFor(fds, timeout, result) < 0) {
    return result;
  }
  // A closed or failed peer counts as readable: the receive then reports it.
  constexpr short kReadable = POLLIN | kHangUp | POLLHUP | POLLERR | POLLNVAL;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i].readable = (fds[i].revents & kReadable) != 0;
  }
  return result;
}

WaitResult waitWritable(SocketHandle handle, std::optional<std::chrono::milliseconds> timeout) {
  pollfd fd{handle, POLLOUT, 0};
  WaitResult result;
  pollFor({&fd, 1}, timeout, result);
  return result;
}

}  // namespace quayside::platform
