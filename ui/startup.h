#pragma once

namespace quayside {

// The window program from start to end: socket set-up, the settings path and
// the Bridge list, the window (every enabled Bridge's listener open before it
// first shows) until Exit, then every listener closed and every Bridge freed.
// Qt's own options in argv are honoured; the program reads none of its own.
// Returns the exit code, 0.
int runWindowProgram(int& argc, char** argv);

}  // namespace quayside
