#include "bench_support.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace quayside::bench {
namespace {

std::string readWhole(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::uint64_t statusField(const std::string& status, std::string_view name) {
  const auto at = status.find(std::string(name) + ":");
  if (at == std::string::npos) {
    return 0;
  }
  return std::strtoull(status.c_str() + at + name.size() + 1, nullptr, 10);
}

}  // namespace

std::string nextOf(MessagePeer& peer) {
  auto message = peer.next(kWaitLimit);
  if (!message) {
    throw BenchError{peer.closedByPeer() ? "connection closed while waiting for a message"
                                         : "timed out waiting for a message; held: " +
                                               peer.unterminated().substr(0, 200)};
  }
  return std::move(*message);
}

void sendTo(MessagePeer& peer, std::string_view bytes) {
  if (!peer.send(bytes)) {
    throw BenchError{"send failed: the peer is gone"};
  }
}

void require(const Outcome& outcome, std::string_view step) {
  if (!outcome) {
    throw BenchError{std::string(step) + ": " + outcome.message()};
  }
}

void TokenCounter::feed(std::string_view bytes) {
  // Only the last token.size() - 1 bytes can begin a token split by the
  // next piece, and they cannot hold a whole one: nothing counts twice.
  std::string window = tail_;
  window.append(bytes);
  for (auto at = window.find(token_); at != std::string::npos; at = window.find(token_, at + 1)) {
    ++count_;
  }
  const std::size_t keep = std::min(window.size(), token_.size() - 1);
  tail_ = window.substr(window.size() - keep);
}

void waitUntilListening(std::uint16_t port, ChildProcess& child) {
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  const auto deadline = Clock::now() + kWaitLimit;
  while (Clock::now() < deadline) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    while (std::getline(table, line)) {
      // "sl local_address rem_address st ...": state 0A is LISTEN.
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (local == wanted && state == "0A") {
        return;
      }
    }
    if (!child.running()) {
      throw BenchError{"the program under test ended before it listened"};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw BenchError{"nothing listens on port " + std::to_string(port)};
}

ProcessSample sampleProcess(pid_t pid) {
  ProcessSample sample;
  const std::string base = "/proc/" + std::to_string(pid);
  const std::string status = readWhole(base + "/status");
  sample.residentKiB = statusField(status, "VmRSS");
  sample.threads = statusField(status, "Threads");

  // utime and stime are fields 14 and 15, counted after the ")" that ends
  // the command name (which may itself hold spaces).
  const std::string stat = readWhole(base + "/stat");
  const auto close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int index = 3; fields >> field; ++index) {
      if (index == 14) {
        utime = std::strtoull(field.c_str(), nullptr, 10);
      } else if (index == 15) {
        stime = std::strtoull(field.c_str(), nullptr, 10);
        break;
      }
    }
    sample.cpuSeconds =
        static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

  DIR* tasks = opendir((base + "/task").c_str());
  if (tasks != nullptr) {
    while (const dirent* entry = readdir(tasks)) {
      if (entry->d_name[0] == '.') {
        continue;
      }
      const std::string task = base + "/task/" + entry->d_name;
      const std::string taskStatus = readWhole(task + "/status");
      sample.contextSwitches += statusField(taskStatus, "voluntary_ctxt_switches") +
                                statusField(taskStatus, "nonvoluntary_ctxt_switches");
      sample.cpuNanoseconds += std::strtoull(readWhole(task + "/schedstat").c_str(), nullptr, 10);
    }
    closedir(tasks);
  }
  return sample;
}

void raiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

double quantile(std::vector<double>& samples, double q) {
  if (samples.empty()) {
    return 0;
  }
  std::sort(samples.begin(), samples.end());
  const auto index = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(index, samples.size() - 1)];
}

}  // namespace quayside::bench
