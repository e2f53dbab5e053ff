#include "relay/registry.h"

#include <mutex>

namespace quayside {
namespace {

std::mutex registryMutex;
Relay* registryHead = nullptr;  // guarded by registryMutex, as is every Relay::next

}  // namespace

void registerRelay(Relay& relay) {
  std::lock_guard lock(registryMutex);
  relay.next = nullptr;
  Relay** link = &registryHead;
  while (*link != nullptr) {
    link = &(*link)->next;
  }
  *link = &relay;
}

void unregisterRelay(Relay& relay) {
  std::lock_guard lock(registryMutex);
  for (Relay** link = &registryHead; *link != nullptr; link = &(*link)->next) {
    if (*link == &relay) {
      *link = relay.next;
      relay.next = nullptr;
      return;
    }
  }
}

std::vector<const Relay*> registeredRelays() {
  std::lock_guard lock(registryMutex);
  std::vector<const Relay*> relays;
  for (const Relay* relay = registryHead; relay != nullptr; relay = relay->next) {
    relays.push_back(relay);
  }
  return relays;
}

std::size_t registeredRelayCount() {
  std::lock_guard lock(registryMutex);
  std::size_t count = 0;
  for (const Relay* relay = registryHead; relay != nullptr; relay = relay->next) {
    ++count;
  }
  return count;
}

}  // namespace quayside
