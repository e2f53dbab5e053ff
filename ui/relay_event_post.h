#pragma once

#include "relay/relay_thread.h"
#include "ui/session_activity.h"

#include <cstddef>
#include <functional>
#include <mutex>
#include <string_view>

class QObject;

namespace quayside {

// Hands relay events to the window's thread. Each event is copied into a
// RelayReport on the relay's thread and queued to `receiver`'s event loop,
// so no widget is touched from a relay thread. Relays hold a plain pointer
// to it and are not waited for: it lives until the window has released it
// and every relay started under it has ended, and then frees itself.
class RelayEventPost final : public RelayObserver {
 public:
  using Deliver = std::function<void(const RelayReport&)>;

  // `deliver` runs on `receiver`'s thread, and never after release().
  RelayEventPost(QObject* receiver, Deliver deliver);
  RelayEventPost(const RelayEventPost&) = delete;
  RelayEventPost& operator=(const RelayEventPost&) = delete;

  // Window thread: a Relay reporting here is about to start, or did not
  // start after all.
  void relayStarting();
  void relayNotStarted();
  // The window goes: nothing more is delivered.
  void release();

  void relayConnected(const Relay& relay) override;
  void relayWelcomed(const Relay& relay) override;
  void relayEnded(const Relay& relay, std::string_view reason) override;
  void relayEndedAs(const Relay& relay, std::string_view reason, EndKind kind) override;

 private:
  ~RelayEventPost() override = default;
  void post(RelayReport report);
  // Lets one holder go; the last frees the object.
  void drop();

  const Deliver deliver_;
  std::mutex mutex_;
  QObject* receiver_;        // guarded by mutex_; null once released
  std::size_t holders_ = 1;  // guarded by mutex_: the window and each started relay
};

}  // namespace quayside
