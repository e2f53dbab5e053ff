#include "bench_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace quayside::bench {
namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void noDelay(int socket) {
  const int one = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Waits for `events` on `socket` until `deadline`; false on timeout.
bool waitFor(int socket, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    pollfd watched{socket, events, 0};
    const int ready = poll(&watched, 1, static_cast<int>(left));
    if (ready > 0) {
      return true;
    }
    if (ready < 0 && errno != EINTR) {
      return false;
    }
  }
}

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

Listener listenLoopback() {
  Listener listener;
  listener.socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (bind(listener.socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.socket, 1024) != 0 ||
      getsockname(listener.socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw BenchError{"cannot listen on 127.0.0.1"};
  }
  listener.port = ntohs(address.sin_port);
  return listener;
}

int acceptOne(const Listener& listener) {
  if (!waitFor(listener.socket, POLLIN, Clock::now() + kWaitLimit)) {
    throw BenchError{"no connection arrived at the scripted server"};
  }
  const int socket = accept4(listener.socket, nullptr, nullptr, SOCK_CLOEXEC);
  if (socket < 0) {
    throw BenchError{"accept failed"};
  }
  noDelay(socket);
  return socket;
}

int connectLoopback(std::uint16_t port) {
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = loopback(port);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(socket);
    throw BenchError{"cannot connect to 127.0.0.1:" + std::to_string(port)};
  }
  noDelay(socket);
  return socket;
}

void closeSocket(int& socket) {
  if (socket >= 0) {
    ::close(socket);
    socket = -1;
  }
}

Endpoint::Endpoint(Endpoint&& other) noexcept
    : socket_(other.socket_),
      terminator_(std::move(other.terminator_)),
      pending_(std::move(other.pending_)) {
  other.socket_ = -1;
}

Endpoint& Endpoint::operator=(Endpoint&& other) noexcept {
  if (this != &other) {
    close();
    socket_ = other.socket_;
    terminator_ = std::move(other.terminator_);
    pending_ = std::move(other.pending_);
    other.socket_ = -1;
  }
  return *this;
}

Endpoint::~Endpoint() {
  close();
}

void Endpoint::close() {
  closeSocket(socket_);
}

void Endpoint::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      throw BenchError{"send failed: the peer is gone"};
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

std::string Endpoint::next() {
  const auto deadline = Clock::now() + kWaitLimit;
  for (;;) {
    const auto end = pending_.find(terminator_);
    if (end != std::string::npos) {
      std::string message = pending_.substr(0, end + terminator_.size());
      pending_.erase(0, end + terminator_.size());
      return message;
    }
    // Try the receive first: on the timed path the data is often there already.
    char chunk[65536];
    const ssize_t count = recv(socket_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (count > 0) {
      pending_.append(chunk, static_cast<std::size_t>(count));
      continue;
    }
    if (count == 0) {
      throw BenchError{"connection closed while waiting for a message"};
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      throw BenchError{"receive failed"};
    }
    if (!waitFor(socket_, POLLIN, deadline)) {
      throw BenchError{"timed out waiting for a message; held: " + pending_.substr(0, 200)};
    }
  }
}

void Endpoint::skipUntil(std::string_view message) {
  while (next() != message) {
  }
}

void Endpoint::skipUntilPrefix(std::string_view prefix) {
  while (!next().starts_with(prefix)) {
  }
}

void Endpoint::drain() {
  pending_.clear();
  char chunk[65536];
  while (recv(socket_, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
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

Child::Child(const std::vector<std::string>& argv, const std::string& logPath) {
  std::vector<std::string> storage = argv;
  std::vector<char*> pointers;
  for (auto& argument : storage) {
    pointers.push_back(argument.data());
  }
  pointers.push_back(nullptr);
  const int log = open(logPath.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(127);
    }
    if (log >= 0) {
      dup2(log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
    }
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  if (log >= 0) {
    ::close(log);
  }
  if (pid_ < 0) {
    throw BenchError{"fork failed"};
  }
}

Child::~Child() {
  stop();
}

bool Child::running() {
  if (pid_ <= 0) {
    return false;
  }
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void Child::stop() {
  if (!running()) {
    return;
  }
  kill(pid_, SIGTERM);
  for (int i = 0; i < 300 && running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

void waitUntilListening(std::uint16_t port, Child& child) {
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

std::string findOnPath(std::string_view program) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    const std::string candidate = std::string(rest.substr(0, colon)) + "/" + std::string(program);
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return {};
}

}  // namespace quayside::bench
