#include "relay/registry.h"

#include "platform/process.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace quayside {
namespace {

std::mutex registryLock;
Relay* registryHead = nullptr;  // guarded by registryLock, as is every Relay::next
std::condition_variable registryEmptied;
std::atomic<bool> stopping{false};  // changed under registryLock, read by relays without it

// The Wakeup raised while stopping, opened once, for the process's life.
platform::Wakeup* stopWakeup() {
  static const std::unique_ptr<platform::Wakeup> wakeup = [] {
    std::string error;
    return platform::openWakeup(error);
  }();
  return wakeup.get();
}

}  // namespace

void registerRelay(Relay& relay) {
  std::lock_guard lock(registryLock);
  relay.next = nullptr;
  Relay** link = &registryHead;
  while (*link != nullptr) {
    link = &(*link)->next;
  }
  *link = &relay;
}

void unregisterRelay(Relay& relay) {
  std::lock_guard lock(registryLock);
  for (Relay** link = &registryHead; *link != nullptr; link = &(*link)->next) {
    if (*link == &relay) {
      *link = relay.next;
      relay.next = nullptr;
      if (registryHead == nullptr) {
        registryEmptied.notify_all();
      }
      return;
    }
  }
}

std::vector<const Relay*> registeredRelays() {
  std::lock_guard lock(registryLock);
  std::vector<const Relay*> relays;
  for (const Relay* relay = registryHead; relay != nullptr; relay = relay->next) {
    relays.push_back(relay);
  }
  return relays;
}

std::size_t registeredRelayCount() {
  std::lock_guard lock(registryLock);
  std::size_t count = 0;
  for (const Relay* relay = registryHead; relay != nullptr; relay = relay->next) {
    ++count;
  }
  return count;
}

bool stopRelays(std::chrono::milliseconds bound) {
  platform::Wakeup* const wakeup = stopWakeup();
  std::unique_lock lock(registryLock);
  stopping = true;
  if (wakeup != nullptr) {
    wakeup->raise();
  }
  if (!registryEmptied.wait_for(lock, bound, [] { return registryHead == nullptr; })) {
    // The process is about to end anyway; a Relay still here keeps being asked.
    return false;
  }
  // Empty under the lock: no Relay can be waiting on the handle now.
  stopping = false;
  if (wakeup != nullptr) {
    wakeup->lower();
  }
  return true;
}

bool relaysStopping() {
  return stopping;
}

SocketHandle relayStopHandle() {
  platform::Wakeup* const wakeup = stopWakeup();
  return wakeup == nullptr ? kNoSocket : wakeup->handle();
}

}  // namespace quayside
