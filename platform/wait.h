#pragma once

#include "platform/socket_handle.h"

#include <chrono>
#include <optional>
#include <span>
#include <string>

namespace quayside::platform {

// One handle to wait on, and whether the wait found it readable.
struct WaitEntry {
  SocketHandle handle = kNoSocket;  // kNoSocket: never readable
  bool readable = false;
  // Watch only for the peer's close or reset, not for its data (a reader
  // holding back still learns that its peer left). Windows' select has no
  // such event: there the entry is only watched for failure.
  bool hangUpOnly = false;
};

enum class WaitStatus { kReady, kTimedOut, kFailed };

struct WaitResult {
  WaitStatus status = WaitStatus::kFailed;
  std::string error;  // the system's reason, for kFailed
};

// Waits until at least one handle is readable (data, or the peer closed or
// failed: the receive then reports it) and marks every one that is. Without
// `timeout` it waits for as long as it takes. An interrupted wait is retried
// for the time that is left.
WaitResult waitReadable(std::span<WaitEntry> entries,
                        std::optional<std::chrono::milliseconds> timeout = std::nullopt);

// Waits until `handle` can take more bytes, or has failed (the next send or
// the connect's result then says how). Without `timeout` it waits for as
// long as it takes; interrupted waits are retried as above.
WaitResult waitWritable(SocketHandle handle,
                        std::optional<std::chrono::milliseconds> timeout = std::nullopt);

}  // namespace quayside::platform
