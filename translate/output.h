#pragma once

#include "translate/session_end.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quayside {

// The most a translation composes as one message group (what it used to
// send with one call): long texts are split into parts of at most this size.
inline constexpr std::size_t kOutCapacity = 32768;

// One complete message as the framing hands it to a translation.
struct Message {
  std::string_view bytes;      // the message, its terminator excluded
  std::string_view following;  // every byte received after its terminator
};

enum class Peer { kClient, kServer };

// Where the translations put what they compose. A translation composes a
// message group straight into area(), then commits it: production gathers
// the groups of one receive and sends them together; tests record every
// commit separately.
class RelayOutput {
 public:
  virtual ~RelayOutput() = default;

  // kOutCapacity bytes to compose the next group for `peer` in. Valid until
  // the next area() or commit() for the same peer.
  virtual std::span<char> area(Peer peer) = 0;
  // The first `size` bytes of the last area() for `peer` are one group.
  virtual void commit(Peer peer, std::size_t size) = 0;

  // Closes the hub client's connection (the client was kicked); the relay
  // thread then ends the Relay without closing that socket again.
  virtual void closeClient() = 0;

  // Whether an answer an IRC user asked for (a CTCP reply) may go now: the
  // relay refuses answers past its limits, so no flood of requests can
  // queue lines or make the server drop the user for flooding.
  virtual bool mayAnswer() { return true; }

  // The user's "+stop": the lines still waiting for the server are dropped,
  // and the relay tells the client how many.
  virtual void dropWaiting() {}

  // Ends the session after the current receive. The first end stays: a
  // kick or a refused password said first is what ended it, whatever the
  // server says after it.
  // An output that wraps another hands the end on to it.
  virtual void endSession(SessionEnd end) {
    if (!end_) {
      end_ = std::move(end);
    }
  }
  const std::optional<SessionEnd>& sessionEnd() const { return end_; }

  // An event the session's log should show (a room joined, refused or
  // left). An output that wraps another hands it on.
  virtual void note(std::string_view /*text*/) {}

  // A group composed elsewhere (an echo): `bytes` and then `terminator`; as
  // several groups when they do not fit one area.
  void send(Peer peer, std::string_view bytes, std::string_view terminator = {});

 private:
  std::optional<SessionEnd> end_;
};

// An output that changes what is composed (the client's charset, chat
// held before the welcome, lines kept while no client is attached) and
// hands everything else on to the output it wraps.
class WrappingOutput : public RelayOutput {
 public:
  explicit WrappingOutput(RelayOutput& inner) : inner_(inner) {}

  void closeClient() override { inner_.closeClient(); }
  void endSession(SessionEnd end) override { inner_.endSession(std::move(end)); }
  void note(std::string_view text) override { inner_.note(text); }
  bool mayAnswer() override { return inner_.mayAnswer(); }
  void dropWaiting() override { inner_.dropWaiting(); }

 protected:
  RelayOutput& inner_;
};

}  // namespace quayside
