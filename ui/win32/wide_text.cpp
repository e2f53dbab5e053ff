#include "ui/win32/wide_text.h"

#include <windows.h>

#include <algorithm>
#include <climits>

namespace quayside::win32 {

std::wstring widen(std::string_view text) {
  // Window texts never come near 2 GiB; a longer one is cut rather than wrapped.
  const int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX / 2));
  if (length == 0) {
    return {};
  }
  const int wideLength = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (wideLength <= 0) {
    return {};
  }
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), wideLength);
  return wide;
}

std::string narrow(std::wstring_view text) {
  const int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX / 4));
  if (length == 0) {
    return {};
  }
  const int byteLength =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (byteLength <= 0) {
    return {};
  }
  std::string bytes(static_cast<std::size_t>(byteLength), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), byteLength, nullptr, nullptr);
  return bytes;
}

}  // namespace quayside::win32
