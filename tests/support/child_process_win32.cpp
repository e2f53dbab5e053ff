// ChildProcess on Windows: CreateProcessW with its output on a pipe, in a job
// that ends it with the test process, and with a console of its own so that
// Ctrl+C and Ctrl+Break can be sent to it alone.
#include "support/child_process.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <stdexcept>

namespace quayside::testing {
namespace {

std::wstring wide(std::string_view text) {
  if (text.empty()) {
    return {};
  }
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), length);
  return out;
}

// One argument quoted as the C runtime splits a command line.
std::wstring quoted(const std::string& argument) {
  const std::wstring text = wide(argument);
  if (!text.empty() && text.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return text;
  }
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : text) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

// Every child dies with the test process: a job that kills on its last close.
HANDLE childJob() {
  static const HANDLE job = [] {
    const HANDLE created = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return created;
  }();
  return job;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& extraEnvironment,
                           const std::string& outputFile)
    : outputFile_(outputFile) {
  std::wstring commandLine = quoted(program);
  for (const std::string& argument : arguments) {
    commandLine += L" " + quoted(argument);
  }
  // The environment block: this process's variables with the extra ones
  // replacing any of the same name, sorted as Windows expects.
  std::map<std::wstring, std::wstring> variables;
  if (wchar_t* block = ::GetEnvironmentStringsW(); block != nullptr) {
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      const std::wstring_view text(entry);
      const std::size_t equals = text.find(L'=', 1);
      variables[std::wstring(text.substr(0, equals))] =
          equals == std::wstring_view::npos ? L"" : std::wstring(text.substr(equals + 1));
    }
    ::FreeEnvironmentStringsW(block);
  }
  for (const auto& [name, value] : extraEnvironment) {
    variables[wide(name)] = wide(value);
  }
  std::wstring environment;
  for (const auto& [name, value] : variables) {
    environment += name + L"=" + value;
    environment += L'\0';
  }
  environment += L'\0';

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!outputFile_.empty()) {
    writeEnd = ::CreateFileW(wide(outputFile_).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                             &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  } else if (::CreatePipe(&readEnd, &writeEnd, &inheritable, 0) == 0) {
    throw std::runtime_error("CreatePipe failed");
  } else {
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  }
  const HANDLE input = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inheritable, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  const BOOL created =
      ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_CONSOLE | CREATE_SUSPENDED,
                       environment.data(), nullptr, &startup, &process);
  ::CloseHandle(input);
  if (writeEnd != nullptr && writeEnd != INVALID_HANDLE_VALUE) {
    ::CloseHandle(writeEnd);
  }
  if (created == 0) {
    if (readEnd != nullptr) {
      ::CloseHandle(readEnd);
    }
    throw std::runtime_error("CreateProcess failed for " + program);
  }
  ::AssignProcessToJobObject(childJob(), process.hProcess);
  ::ResumeThread(process.hThread);
  ::CloseHandle(process.hThread);
  process_ = process.hProcess;
  pid_ = static_cast<pid_t>(process.dwProcessId);
  if (readEnd != nullptr) {
    reader_ = std::thread([this, readEnd] { readOutput(readEnd); });
  }
}

ChildProcess::~ChildProcess() {
  stop();
  if (reader_.joinable()) {
    reader_.join();
  }
  if (process_ != nullptr) {
    ::CloseHandle(process_);
  }
}

// Reads until the child has ended and its pipe is drained. Not until the
// pipe's end: a console host started for the child may hold a copy of the
// writing end past the child's life, so the end of the pipe may never come.
void ChildProcess::readOutput(void* pipe) {
  char chunk[4096];
  for (;;) {
    // The exit is checked before the pipe: what the child wrote before it
    // ended is in the pipe by then.
    const bool ended = ::WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
    DWORD available = 0;
    if (::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) == 0) {
      break;  // every writing end is closed
    }
    if (available == 0) {
      if (ended) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    DWORD count = 0;
    const DWORD wanted = available < sizeof chunk ? available : DWORD{sizeof chunk};
    if (::ReadFile(pipe, chunk, wanted, &count, nullptr) == 0 || count == 0) {
      break;
    }
    std::lock_guard lock(mutex_);
    output_.append(chunk, count);
    changed_.notify_all();
  }
  ::CloseHandle(pipe);
  std::lock_guard lock(mutex_);
  outputClosed_ = true;
  changed_.notify_all();
}

bool ChildProcess::running() {
  if (process_ == nullptr || exitCode_) {
    return false;
  }
  if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
    return true;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process_, &code);
  exitCode_ = static_cast<int>(code);
  return false;
}

// SIGKILL ends the child at once (exit code 128 + 9, as on POSIX); SIGINT is
// Ctrl+C and any other number Ctrl+Break on the child's console, Windows'
// ways to ask a console program to stop.
void ChildProcess::signal(int number) {
  if (!running()) {
    return;
  }
  if (number == SIGKILL) {
    ::TerminateProcess(process_, 128 + SIGKILL);
    return;
  }
  // The child has a console of its own: join it for the moment it takes to
  // send the event there, deaf to it ourselves. Console attachment is per
  // process, hence the lock.
  static std::mutex consoleLock;
  std::lock_guard lock(consoleLock);
  ::FreeConsole();
  if (::AttachConsole(static_cast<DWORD>(pid_)) != 0) {
    ::SetConsoleCtrlHandler(nullptr, TRUE);
    ::GenerateConsoleCtrlEvent(number == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT, 0);
    ::FreeConsole();
    // Our own deafness ends once the event has been delivered.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::SetConsoleCtrlHandler(nullptr, FALSE);
  }
}

bool underWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string findProgram(std::string_view name) {
  std::wstring found(MAX_PATH, L'\0');
  const std::wstring wanted = wide(name);
  const DWORD length = ::SearchPathW(nullptr, wanted.c_str(), L".exe",
                                     static_cast<DWORD>(found.size()), found.data(), nullptr);
  if (length == 0 || length >= found.size()) {
    return {};
  }
  found.resize(length);
  return std::filesystem::path(found).string();
}

}  // namespace quayside::testing
