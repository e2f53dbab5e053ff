#pragma once

namespace quayside {

// A socket (or other waitable) handle as the platform layer hands it out;
// kNoSocket marks "none" (and "closed" once it has been closed). POSIX file
// descriptors; a Win32 build would put SOCKET and INVALID_SOCKET here.
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

}  // namespace quayside
