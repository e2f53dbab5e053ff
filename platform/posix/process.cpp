#include "platform/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace quayside::platform {
namespace {

// The pipe's write end, for the signal handler, which can reach nothing else.
std::atomic<int> stopPipeWriteEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

void onStopSignal(int signal) {
  const int savedErrno = errno;
  const auto byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t ignored = ::write(stopPipeWriteEnd.load(), &byte, 1);
  errno = savedErrno;
}

// A self-pipe: the handler writes the signal's number, the owner waits on
// the read end.
class PipeStopChannel final : public StopChannel {
 public:
  PipeStopChannel(int readEnd, int writeEnd) : readEnd_(readEnd), writeEnd_(writeEnd) {
    stopPipeWriteEnd.store(writeEnd_);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previousInt_);
    ::sigaction(SIGTERM, &action, &previousTerm_);
  }

  ~PipeStopChannel() override {
    ::sigaction(SIGINT, &previousInt_, nullptr);
    ::sigaction(SIGTERM, &previousTerm_, nullptr);
    stopPipeWriteEnd.store(-1);
    ::close(readEnd_);
    ::close(writeEnd_);
  }

  PipeStopChannel(const PipeStopChannel&) = delete;
  PipeStopChannel& operator=(const PipeStopChannel&) = delete;

  SocketHandle handle() const override { return readEnd_; }

  std::string takeReason() override {
    unsigned char signal = 0;
    ssize_t count;
    do {
      count = ::read(readEnd_, &signal, 1);
    } while (count < 0 && errno == EINTR);
    if (count != 1) {
      return {};
    }
    switch (signal) {
      case SIGINT:
        return "SIGINT";
      case SIGTERM:
        return "SIGTERM";
      default:
        return "signal " + std::to_string(signal);
    }
  }

 private:
  int readEnd_;
  int writeEnd_;
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

// A pipe that holds a byte while raised; both ends never block.
class PipeWakeup final : public Wakeup {
 public:
  PipeWakeup(int readEnd, int writeEnd) : readEnd_(readEnd), writeEnd_(writeEnd) {}

  ~PipeWakeup() override {
    ::close(readEnd_);
    ::close(writeEnd_);
  }

  PipeWakeup(const PipeWakeup&) = delete;
  PipeWakeup& operator=(const PipeWakeup&) = delete;

  SocketHandle handle() const override { return readEnd_; }

  void raise() override {
    // A full pipe is readable already.
    const unsigned char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(writeEnd_, &byte, 1);
  }

  void lower() override {
    std::array<unsigned char, 64> bytes{};
    for (;;) {
      const ssize_t count = ::read(readEnd_, bytes.data(), bytes.size());
      if (count <= 0 && !(count < 0 && errno == EINTR)) {
        return;
      }
    }
  }

 private:
  int readEnd_;
  int writeEnd_;
};

}  // namespace

void ignoreSigpipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

bool writeStandardError(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::unique_ptr<StopChannel> openStopChannel(std::string& error) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<PipeStopChannel>(ends[0], ends[1]);
}

std::unique_ptr<Wakeup> openWakeup(std::string& error) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<PipeWakeup>(ends[0], ends[1]);
}

}  // namespace quayside::platform
