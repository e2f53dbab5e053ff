#include "ui/relay_event_post.h"

#include <utility>

namespace quayside {

RelayEventPost::RelayEventPost(Queue queue) : queue_(std::move(queue)) {}

void RelayEventPost::relayStarting() {
  const std::lock_guard lock(mutex_);
  ++holders_;
}

void RelayEventPost::relayNotStarted() {
  drop();
}

void RelayEventPost::release() {
  {
    const std::lock_guard lock(mutex_);
    queue_ = nullptr;
  }
  drop();
}

void RelayEventPost::relayConnected(const Relay& relay) {
  post(reportOf(RelayReport::Type::kConnected, relay));
}

void RelayEventPost::relayWelcomed(const Relay& relay) {
  post(reportOf(RelayReport::Type::kWelcomed, relay));
}

void RelayEventPost::relayNote(const Relay& relay, std::string_view text) {
  post(reportOf(RelayReport::Type::kNote, relay, text));
}

void RelayEventPost::relayEnded(const Relay& relay, std::string_view reason) {
  relayEndedAs(relay, reason, EndKind::kFailure);
}

void RelayEventPost::relayEndedAs(const Relay& relay, std::string_view reason, EndKind kind) {
  post(reportOf(RelayReport::Type::kEnded, relay, reason, kind));
  // The relay's last call here: it no longer holds the object.
  drop();
}

void RelayEventPost::post(RelayReport report) {
  const std::lock_guard lock(mutex_);
  // Under the lock, so release() cannot pass while the window is posted to.
  if (queue_) {
    queue_(std::move(report));
  }
}

void RelayEventPost::drop() {
  bool last = false;
  {
    const std::lock_guard lock(mutex_);
    last = --holders_ == 0;
  }
  if (last) {
    delete this;
  }
}

}  // namespace quayside
