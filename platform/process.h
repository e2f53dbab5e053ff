#pragma once

#include "platform/socket_handle.h"

#include <memory>
#include <string>
#include <string_view>

namespace quayside::platform {

// A dead peer must never kill the process: call once at start-up.
void ignoreSigpipe();

// Writes `bytes` to standard error in one write where the system allows, so
// lines from several threads never interleave. False when it cannot.
bool writeStandardError(std::string_view bytes);

// How the user asks the process to stop (SIGINT and SIGTERM on POSIX; on
// Windows the console's Ctrl+C, Ctrl+Break, close, logoff and shutdown). Its
// handle becomes readable then and is waited on alongside sockets. One may
// be open at a time; closing it restores the previous handling.
class StopChannel {
 public:
  virtual ~StopChannel() = default;

  virtual SocketHandle handle() const = 0;

  // What asked to stop ("SIGINT", "SIGTERM", "signal 1"; "Ctrl+C",
  // "Ctrl+Break", "console close", "logoff", "shutdown"), once the handle is
  // readable; empty when that cannot be told.
  virtual std::string takeReason() = 0;
};

// Opens the stop channel, or returns null with the system's reason in `error`.
std::unique_ptr<StopChannel> openStopChannel(std::string& error);

}  // namespace quayside::platform
