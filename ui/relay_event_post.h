#pragma once

#include "relay/relay_thread.h"
#include "ui/session_activity.h"

#include <cstddef>
#include <functional>
#include <mutex>
#include <string_view>

namespace quayside {

// Hands relay events to the window's thread. Each event is copied into a
// RelayReport on the relay's thread and given to `queue`, which puts it in
// the window's event queue (a queued call in Qt, a posted message in Win32),
// so no widget is touched from a relay thread. Relays hold a plain pointer
// to it and are not waited for: it lives until the window has released it
// and every relay started under it has ended, and then frees itself.
class RelayEventPost final : public RelayObserver {
 public:
  // Runs on a relay's thread under the post's lock, never after release().
  using Queue = std::function<void(RelayReport)>;

  explicit RelayEventPost(Queue queue);
  RelayEventPost(const RelayEventPost&) = delete;
  RelayEventPost& operator=(const RelayEventPost&) = delete;

  // Window thread: a Relay reporting here is about to start, or did not
  // start after all.
  void relayStarting();
  void relayNotStarted();
  // The window goes: nothing more is queued.
  void release();

  void relayConnected(const Relay& relay) override;
  void relayWelcomed(const Relay& relay) override;
  void relayNote(const Relay& relay, std::string_view text) override;
  void relayEnded(const Relay& relay, std::string_view reason) override;
  void relayEndedAs(const Relay& relay, std::string_view reason, EndKind kind) override;

 private:
  ~RelayEventPost() override = default;
  void post(RelayReport report);
  // Lets one holder go; the last frees the object.
  void drop();

  std::mutex mutex_;
  Queue queue_;              // guarded by mutex_; empty once released
  std::size_t holders_ = 1;  // guarded by mutex_: the window and each started relay
};

}  // namespace quayside
