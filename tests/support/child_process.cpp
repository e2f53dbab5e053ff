#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace quayside::testing {
namespace {

int exitCodeOf(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& extraEnvironment,
                           const std::string& outputFile)
    : outputFile_(outputFile) {
  // Everything the child needs is built before fork: only async-signal-safe
  // calls may run between fork and exec in a threaded process.
  std::vector<std::string> argumentStorage;
  argumentStorage.push_back(program);
  argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : argumentStorage) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  std::vector<std::string> environmentStorage;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto name = text.substr(0, text.find('='));
    if (extraEnvironment.find(std::string(name)) == extraEnvironment.end()) {
      environmentStorage.emplace_back(text);
    }
  }
  for (const auto& [name, value] : extraEnvironment) {
    environmentStorage.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& entry : environmentStorage) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);

  int pipeEnds[2] = {-1, -1};
  if (!outputFile_.empty()) {
    // Without the file the child writes where this process does.
    pipeEnds[1] = open(outputFile_.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  } else if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(127);
    }
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) {
      dup2(devNull, STDIN_FILENO);
    }
    if (pipeEnds[1] >= 0) {
      dup2(pipeEnds[1], STDOUT_FILENO);
      dup2(pipeEnds[1], STDERR_FILENO);
    }
    execve(argv[0], argv.data(), envp.data());
    static const char kFailed[] = "exec failed\n";
    [[maybe_unused]] const auto ignored = write(STDERR_FILENO, kFailed, sizeof kFailed - 1);
    _exit(127);
  }
  if (pipeEnds[1] >= 0) {
    close(pipeEnds[1]);
  }
  if (pid_ < 0) {
    if (pipeEnds[0] >= 0) {
      close(pipeEnds[0]);
    }
    throw std::runtime_error("fork failed");
  }
  if (pipeEnds[0] >= 0) {
    reader_ = std::thread([this, fd = pipeEnds[0]] { readOutput(fd); });
  }
}

ChildProcess::~ChildProcess() {
  stop();
  if (reader_.joinable()) {
    reader_.join();
  }
}

void ChildProcess::readOutput(int fd) {
  char chunk[4096];
  for (;;) {
    const ssize_t count = read(fd, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    std::lock_guard lock(mutex_);
    if (count <= 0) {
      outputClosed_ = true;
      changed_.notify_all();
      break;
    }
    output_.append(chunk, static_cast<std::size_t>(count));
    changed_.notify_all();
  }
  close(fd);
}

bool ChildProcess::running() {
  if (pid_ <= 0 || exitCode_) {
    return false;
  }
  int status = 0;
  const pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    exitCode_ = exitCodeOf(status);
    return false;
  }
  return done == 0;
}

void ChildProcess::signal(int number) {
  if (running()) {
    kill(pid_, number);
  }
}

bool underWine() {
  return false;
}

std::string findProgram(std::string_view name) {
  std::vector<std::string> folders;
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    folders.emplace_back(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  for (const char* folder : {"/usr/local/sbin", "/usr/sbin", "/sbin"}) {
    folders.emplace_back(folder);
  }
  for (const auto& folder : folders) {
    const std::string candidate = folder + "/" + std::string(name);
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

}  // namespace quayside::testing
