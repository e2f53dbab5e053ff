#include "platform/windows/win32.h"

#include <climits>
#include <mutex>

namespace quayside::platform::win32 {

bool startWinsock(std::string* error) {
  static int status = -1;
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data{};
    status = ::WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (status != 0 && error != nullptr) {
    *error = "Windows Sockets cannot start: " + errorText(static_cast<unsigned long>(status));
  }
  return status == 0;
}

std::string errorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer),
      0, nullptr);  // NOLINT: the API's own convention
  std::string text;
  if (length != 0 && buffer != nullptr) {
    text = utf8(std::wstring_view(buffer, length));
  }
  if (buffer != nullptr) {
    ::LocalFree(buffer);
  }
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) {
    text = "error " + std::to_string(code);
  }
  return text;
}

std::string socketErrorText() {
  return errorText(static_cast<unsigned long>(::WSAGetLastError()));
}

std::wstring wide(std::string_view utf8Text) {
  if (utf8Text.empty() || utf8Text.size() > INT_MAX) {
    return {};
  }
  const int size = static_cast<int>(utf8Text.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8Text.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, utf8Text.data(), size, out.data(), length);
  }
  return out;
}

std::string utf8(std::wstring_view wideText) {
  if (wideText.empty() || wideText.size() > INT_MAX) {
    return {};
  }
  const int size = static_cast<int>(wideText.size());
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, wideText.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wideText.data(), size, out.data(), length, nullptr, nullptr);
  }
  return out;
}

std::wstring widePath(std::string_view utf8Path) {
  std::wstring path = wide(utf8Path);
  for (wchar_t& c : path) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  return path;
}

}  // namespace quayside::platform::win32
