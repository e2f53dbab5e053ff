#pragma once

// The Win32 headers for the Windows platform files, in the order Winsock
// needs, and the helpers they share. Only platform/windows includes this.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include "platform/socket_handle.h"

#include <string>
#include <string_view>
#include <type_traits>

namespace quayside::platform::win32 {

static_assert(std::is_same_v<SocketHandle, SOCKET>, "SocketHandle is a SOCKET");
static_assert(kNoSocket == INVALID_SOCKET, "kNoSocket is INVALID_SOCKET");

// Starts Winsock 2.2 once per process, before the first socket call; later
// calls only return. False (with the reason) when it cannot be started.
bool startWinsock(std::string* error = nullptr);

// A system error code in the system's words, as UTF-8, without the trailing
// full stop and line break ("error 10061" when Windows has no text for it).
std::string errorText(unsigned long code);

// The text for the calling thread's last Winsock error.
std::string socketErrorText();

// UTF-8 to UTF-16 and back, at every call that takes or gives text.
// Invalid input becomes U+FFFD.
std::wstring wide(std::string_view utf8);
std::string utf8(std::wstring_view wide);

// A path for the wide file calls: UTF-16, with '/' turned into '\'.
std::wstring widePath(std::string_view utf8Path);

}  // namespace quayside::platform::win32
