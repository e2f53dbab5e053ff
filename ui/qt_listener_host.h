#pragma once

#include "bridge/listener.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <map>
#include <string_view>

class QSocketNotifier;

namespace quayside {

// Listener events for a Qt window: one read notifier per listening socket
// delivers each pending connection as `onAccept(acceptMessage)` on the
// window's thread, between other events (also inside a modal box's loop).
// The boxes and the row go to the callbacks the window sets.
class QtListenerHost : public QObject, public ListenerHost {
  Q_OBJECT

 public:
  explicit QtListenerHost(QObject* parent = nullptr) : QObject(parent) {}
  ~QtListenerHost() override;

  void watchAccepts(SocketHandle listener, std::uint32_t acceptMessage) override;
  void unwatchAccepts(SocketHandle listener) override;
  void errorOpeningPort(const Bridge& bridge, std::string_view reason) override;
  void uncheckCurrentRow() override;
  // Every note goes to onNote. A failing accept (out of descriptors, say)
  // leaves the listener readable: its notifier rests for a moment instead
  // of firing in a busy loop.
  void noteAccept(const Bridge& bridge, AcceptNote note, std::uint32_t peerAddress,
                  std::uint16_t peerPort, std::string_view reason) override;

  std::size_t watchedCount() const { return notifiers_.size(); }

  std::function<void(std::uint32_t)> onAccept;
  std::function<void(const Bridge&, std::string_view)> onError;
  std::function<void(const Bridge&, AcceptNote, std::uint32_t, std::uint16_t, std::string_view)>
      onNote;
  std::function<void()> onUncheck;

 private:
  std::map<SocketHandle, QSocketNotifier*> notifiers_;
};

}  // namespace quayside
