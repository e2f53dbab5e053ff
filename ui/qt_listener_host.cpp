#include "ui/qt_listener_host.h"

#include <QSocketNotifier>

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

void QtListenerHost::errorOpeningPort(const Bridge& bridge, std::string_view reason) {
  static_cast<void>(bridge);
  if (onError) {
    onError(reason);
  }
}

void QtListenerHost::uncheckCurrentRow() {
  if (onUncheck) {
    onUncheck();
  }
}

}  // namespace quayside
