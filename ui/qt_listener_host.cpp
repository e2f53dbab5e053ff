#include "ui/qt_listener_host.h"

#include <QSocketNotifier>
#include <QTimer>

namespace quayside {

QtListenerHost::~QtListenerHost() {
  for (auto& [listener, notifier] : notifiers_) {
    notifier->setEnabled(false);
    delete notifier;
  }
}

void QtListenerHost::watchAccepts(SocketHandle listener, std::uint32_t acceptMessage) {
  unwatchAccepts(listener);
  auto* notifier = new QSocketNotifier(listener, QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this, acceptMessage] {
    if (onAccept) {
      onAccept(acceptMessage);
    }
  });
  notifiers_[listener] = notifier;
}

void QtListenerHost::unwatchAccepts(SocketHandle listener) {
  const auto found = notifiers_.find(listener);
  if (found == notifiers_.end()) {
    return;
  }
  // Disabled at once, because the socket is closed next and its number may
  // be reused; deleted later in case this runs inside its own activation.
  found->second->setEnabled(false);
  found->second->deleteLater();
  notifiers_.erase(found);
}

void QtListenerHost::noteAccept(const Bridge& bridge, AcceptNote note, std::uint32_t peerAddress,
                                std::uint16_t peerPort, std::string_view reason) {
  if (onNote) {
    onNote(bridge, note, peerAddress, peerPort, reason);
  }
  if (note != AcceptNote::kAcceptFailed) {
    return;
  }
  for (const SocketHandle socket : {bridge.listenSocket, bridge.listenSocket6}) {
    const auto found = notifiers_.find(socket);
    if (found == notifiers_.end()) {
      continue;
    }
    constexpr int kRestMilliseconds = 100;
    QSocketNotifier* const notifier = found->second;
    notifier->setEnabled(false);
    const SocketHandle listener = found->first;
    QTimer::singleShot(kRestMilliseconds, this, [this, listener, notifier] {
      // Only while the same listener is still watched; it may have been
      // closed (and its number reused) meanwhile.
      const auto current = notifiers_.find(listener);
      if (current != notifiers_.end() && current->second == notifier) {
        notifier->setEnabled(true);
      }
    });
  }
}

void QtListenerHost::errorOpeningPort(const Bridge& bridge, std::string_view reason) {
  if (onError) {
    onError(bridge, reason);
  }
}

void QtListenerHost::uncheckCurrentRow() {
  if (onUncheck) {
    onUncheck();
  }
}

}  // namespace quayside
