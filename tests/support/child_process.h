#pragma once

#include "support/timing.h"

#include <sys/types.h>

#include <csignal>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifdef _WIN32
// ChildProcess::signal takes POSIX numbers everywhere.
#ifndef SIGKILL
#define SIGKILL 9
#endif
#endif

namespace quayside::testing {

// A program run by a test. Its standard output and error are collected (a
// reader thread drains them, so the child never blocks on a full pipe), or
// written to `outputFile` when one is named (the benchmark keeps its logs
// there, and no thread of its own wakes for them). The child is killed when
// this object goes, whatever the test did, and dies with the test process
// too (PR_SET_PDEATHSIG; a kill-on-close job on Windows), so an aborted test
// leaves no server behind.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& extraEnvironment = {},
               const std::string& outputFile = {});
  ~ChildProcess();

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  // Everything the child wrote so far.
  std::string output() const;

  // Waits until the output holds `text` (case-insensitively when asked), or
  // until the child is gone or the deadline passes.
  bool waitForOutput(std::string_view text, Clock::duration timeout = kReadTimeout,
                     bool ignoreCase = false) const;

  // Waits until the output grows beyond `seenSize` bytes, the child's output
  // ends or the timeout passes.
  void waitForMore(std::size_t seenSize, Clock::duration timeout) const;

  // The exit code, or nothing if the child is still running at the deadline.
  // A child killed by a signal gives 128 + the signal number.
  std::optional<int> waitForExit(Clock::duration timeout = kReadTimeout);

  // Whether the child is still running (reaps it when it is not).
  bool running();

  // On Windows, SIGKILL ends the child at once and any other number sends
  // Ctrl+Break to it.
  void signal(int number);

  // Sends `number` and waits for the exit code, as waitForExit does. Under
  // ThreadSanitizer the signal is sent again each second until the output
  // holds `heard`: the sanitizer holds a caught signal back until the child
  // next enters a call it intercepts, and under load it can lose one.
  std::optional<int> signalAndWait(int number, std::string_view heard);

  // SIGTERM, then SIGKILL after a grace period; reaps the child.
  void stop();

 private:
#ifdef _WIN32
  void readOutput(void* pipe);
  void* process_ = nullptr;  // the process's HANDLE
#else
  void readOutput(int fd);
#endif

  pid_t pid_ = -1;
  std::optional<int> exitCode_;
  std::string outputFile_;
  std::thread reader_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string output_;         // guarded by mutex_
  bool outputClosed_ = false;  // guarded by mutex_
};

// True when this is a Windows program running under wine, which lacks some
// of Windows' behaviour (the tests that need it say so and skip that part).
bool underWine();

// True when `haystack` contains `needle`, letters compared without case.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);

// Looks a program up in PATH and the sbin folders (Debian installs ngircd in
// /usr/sbin, which an unprivileged PATH often lacks). Empty when absent.
std::string findProgram(std::string_view name);

}  // namespace quayside::testing
