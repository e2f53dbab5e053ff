#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Loopback plumbing for the benchmark: sockets with deadlines, child
// programs, and what /proc tells about a process.
namespace quayside::bench {

using Clock = std::chrono::steady_clock;

// A bound on every wait; the benchmark fails instead of hanging.
inline constexpr std::chrono::seconds kWaitLimit{10};

// A failed step of a scenario; main() reports it and ends the run.
struct BenchError {
  std::string what;
};

// A listening socket on 127.0.0.1 at a port the OS chose.
struct Listener {
  int socket = -1;
  std::uint16_t port = 0;
};
Listener listenLoopback();

// One pending connection on `listener`, waiting at most kWaitLimit.
int acceptOne(const Listener& listener);

int connectLoopback(std::uint16_t port);

void closeSocket(int& socket);

// One side of a connection that carries terminated messages.
class Endpoint {
 public:
  Endpoint() = default;
  Endpoint(int socket, std::string terminator)
      : socket_(socket), terminator_(std::move(terminator)) {}
  Endpoint(Endpoint&& other) noexcept;
  Endpoint& operator=(Endpoint&& other) noexcept;
  ~Endpoint();

  int socket() const { return socket_; }
  void send(std::string_view bytes);
  // The next whole message, terminator included.
  std::string next();
  // Reads messages until one equals `message`; throws on a timeout.
  void skipUntil(std::string_view message);
  // Reads messages until one starts with `prefix`.
  void skipUntilPrefix(std::string_view prefix);
  // Whatever is already buffered or readable right now, dropped.
  void drain();
  void close();

 private:
  int socket_ = -1;
  std::string terminator_;
  std::string pending_;
};

// Counts a token in a stream that arrives in pieces of any size.
class TokenCounter {
 public:
  explicit TokenCounter(std::string token) : token_(std::move(token)) {}
  void feed(std::string_view bytes);
  std::size_t count() const { return count_; }

 private:
  std::string token_;
  std::string tail_;
  std::size_t count_ = 0;
};

// A program started by the benchmark, its output in `logPath`; killed when
// this object goes, and with the benchmark if that dies first.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& logPath);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  bool running();
  void stop();

 private:
  pid_t pid_ = -1;
};

// Waits until something listens on 127.0.0.1:port (read from /proc/net/tcp,
// so no probe connection disturbs the program under test).
void waitUntilListening(std::uint16_t port, Child& child);

// A process's resource use as /proc shows it, summed over its threads.
struct ProcessSample {
  double cpuSeconds = 0;              // utime + stime
  std::uint64_t cpuNanoseconds = 0;   // schedstat run time, finer than the ticks above
  std::uint64_t contextSwitches = 0;  // voluntary + nonvoluntary, every thread
  std::uint64_t residentKiB = 0;      // VmRSS
  std::uint64_t threads = 0;
};
ProcessSample sampleProcess(pid_t pid);

// Raises the open-file limit to the hard limit (500 relays need 2,000+
// descriptors between the benchmark and the daemon).
void raiseFileLimit();

// The value at quantile q (0..1) of `samples` (sorted in place).
double quantile(std::vector<double>& samples, double q);

std::string findOnPath(std::string_view program);

}  // namespace quayside::bench
