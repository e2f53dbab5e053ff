#pragma once

#include "platform/socket_handle.h"

#include <memory>
#include <string>
#include <string_view>

namespace quayside::platform {

// A dead peer must never kill the process: call once at start-up.
void ignoreSigpipe();

// Lets the process open as many descriptors as the system allows it (the
// soft limit raised to the hard one), since each session holds two and the
// usual soft limit of 1,024 would lock the user out long before the caps
// do. Windows has no such limit.
void raiseDescriptorLimit();

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

// A handle that one thread makes readable for the waits of others: readable
// from raise() until lower(), however often raised. Both may be called from
// any thread; the handle stays the same for the Wakeup's life.
class Wakeup {
 public:
  virtual ~Wakeup() = default;

  virtual SocketHandle handle() const = 0;
  virtual void raise() = 0;
  virtual void lower() = 0;
};

// Opens a lowered Wakeup, or returns null with the system's reason in `error`.
std::unique_ptr<Wakeup> openWakeup(std::string& error);

}  // namespace quayside::platform
