#pragma once

#include "support/child_process.h"
#include "support/message_peer.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What only the benchmark needs beside the shared test support: failures
// that end the run, and what /proc tells about a process.
namespace quayside::bench {

using testing::ChildProcess;
using testing::Clock;
using testing::LoopbackListener;
using testing::MessagePeer;
using testing::Outcome;

// A bound on every wait; the benchmark fails instead of hanging.
inline constexpr std::chrono::seconds kWaitLimit{10};

// A failed step of a scenario; main() reports it and ends the run.
struct BenchError {
  std::string what;
};

// The next whole message on `peer`; the run ends when none comes within
// kWaitLimit. The timed path: the message is moved out, never copied.
std::string nextOf(MessagePeer& peer);

// Sends all of `bytes`; the run ends when the peer is gone.
void sendTo(MessagePeer& peer, std::string_view bytes);

// Ends the run with `step` and the failure's text unless `outcome` succeeded.
void require(const Outcome& outcome, std::string_view step);

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

// Waits until something listens on 127.0.0.1:port (read from /proc/net/tcp,
// so no probe connection disturbs the program under test).
void waitUntilListening(std::uint16_t port, ChildProcess& child);

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

}  // namespace quayside::bench
