#pragma once

#include "platform/stream.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

// What connectTcp shares between the systems; for platform/ only.
namespace quayside::platform {

// One connect to one address.
struct ConnectAttempt {
  SocketHandle socket = kNoSocket;  // connected (blocking, Nagle off), else kNoSocket
  bool timedOut = false;
  bool noSocket = false;  // no socket could be made for the address's family
  std::string error;      // the system's reason, when it failed
};

// Tries addresses 0 to count - 1 in order until one connects, each with an
// equal share of what is left of `limit`, so a silent first address cannot
// use up the time of the ones after it. The connection names the address
// connected to, or for a failure the last one tried, and says how they failed.
Connection connectEach(
    std::size_t count, std::chrono::milliseconds limit,
    const std::function<std::string(std::size_t)>& addressText,
    const std::function<ConnectAttempt(std::size_t, std::chrono::steady_clock::time_point)>&
        connectOne);

}  // namespace quayside::platform
