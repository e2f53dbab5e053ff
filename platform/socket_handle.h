#pragma once

#include <cstdint>

namespace quayside {

// A socket (or other waitable) handle as the platform layer hands it out;
// kNoSocket marks "none" (and "closed" once it has been closed). POSIX file
// descriptors; on Windows a SOCKET, which is pointer-wide, with
// INVALID_SOCKET as kNoSocket (platform/windows checks both match).
#ifdef _WIN32
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kNoSocket = ~SocketHandle{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
#endif

}  // namespace quayside
