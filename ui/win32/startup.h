#pragma once

#include <windows.h>

namespace quayside::win32 {

// The window program on Windows from start to end: common controls and
// Windows Sockets, the settings path and the Bridge list, the window (every
// enabled Bridge's listener open before it first shows) until Exit, then
// every listener closed and every Bridge freed. Returns the exit code, 0
// after Exit.
int runWindowProgram(HINSTANCE instance, int show);

}  // namespace quayside::win32
