#include "relay/registry.h"

#include <mutex>

namespace quayside {
namespace {

std::mutex registryLock;
Relay* registryHead = nullptr;  // guarded by registryLock, as is every Relay::next

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

}  // namespace quayside
