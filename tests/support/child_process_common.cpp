// The parts of ChildProcess that do not depend on the system: the collected
// output, the waits on it and the stop sequence.
#include "support/child_process.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace quayside::testing {

std::string ChildProcess::output() const {
  if (!outputFile_.empty()) {
    // The name is UTF-8 on every system (a narrow path is the ANSI code page on Windows).
    const std::u8string name(outputFile_.begin(), outputFile_.end());
    std::ifstream in(std::filesystem::path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::lock_guard lock(mutex_);
  return output_;
}

bool ChildProcess::waitForOutput(std::string_view text, Clock::duration timeout,
                                 bool ignoreCase) const {
  const auto found = [&](const std::string& output) {
    return ignoreCase ? containsIgnoringCase(output, text) : output.find(text) != std::string::npos;
  };
  if (!outputFile_.empty()) {
    // Nothing signals a file's growth: look again every few milliseconds.
    const auto deadline = Clock::now() + timeout;
    while (!found(output()) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return found(output());
  }
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return found(output_) || outputClosed_; });
  return found(output_);
}

void ChildProcess::waitForMore(std::size_t seenSize, Clock::duration timeout) const {
  if (!outputFile_.empty()) {
    const auto deadline = Clock::now() + timeout;
    while (output().size() <= seenSize && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return;
  }
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return output_.size() > seenSize || outputClosed_; });
}

std::optional<int> ChildProcess::waitForExit(Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (running()) {
    if (Clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The process is gone, but its last output may still sit in the pipe: a
  // caller that reads the output next must see all of it.
  if (outputFile_.empty() && reader_.joinable()) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return outputClosed_; });
  }
  return exitCode_;
}

std::optional<int> ChildProcess::signalAndWait(int number, std::string_view heard) {
  signal(number);
#if defined(__SANITIZE_THREAD__)
  const auto deadline = Clock::now() + kReadTimeout;
  while (Clock::now() < deadline) {
    if (const std::optional<int> code = waitForExit(std::chrono::seconds(1))) {
      return code;
    }
    if (output().find(heard) == std::string::npos) {
      signal(number);
    }
  }
  return std::nullopt;
#else
  static_cast<void>(heard);
  return waitForExit();
#endif
}

void ChildProcess::stop() {
  if (!running()) {
    return;
  }
  signal(SIGTERM);
  if (!waitForExit(std::chrono::seconds(3))) {
    signal(SIGKILL);
    waitForExit(std::chrono::seconds(10));
  }
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
  const auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                              [](char a, char b) {
                                return std::tolower(static_cast<unsigned char>(a)) ==
                                       std::tolower(static_cast<unsigned char>(b));
                              });
  return it != haystack.end() || needle.empty();
}

}  // namespace quayside::testing
