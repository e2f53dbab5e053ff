#pragma once

#include "platform/stream.h"
#include "relay/pacer.h"
#include "relay/relay.h"
#include "translate/output.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quayside {

// Production output. The translations compose straight into one growing
// buffer per socket; what they commit while the relay handles one receive
// leaves in one send per socket when the receive is done, so a burst of chat
// lines costs two sends per receive instead of two per line. With pacing on,
// the server's lines go through the pacer instead.
class SocketOutput final : public RelayOutput {
 public:
  SocketOutput(Relay& relay, platform::ByteStream& server)
      : relay_(relay),
        server_(server),
        pacer_([this](std::string_view bytes) { deliver(Peer::kServer, bytes); }) {}

  std::span<char> area(Peer peer) override { return pending(peer).area(); }

  void commit(Peer peer, std::size_t size) override {
    if (peer == Peer::kClient && !relay_.clientOpen()) {
      return;  // the client was kicked: nothing more reaches it
    }
    Pending& held = pending(peer);
    held.size += size;
    // Past this much, gathered bytes go out at once, which also bounds memory.
    if (held.size >= kGatherLimit) {
      send(peer);
    }
  }

  void closeClient() override {
    // What the client was told before (the kick) still reaches it.
    send(Peer::kClient);
    relay_.client->close();
  }

  // Sends what was gathered, one send per socket. The buffers stay for the
  // next receive of a burst.
  void flush() {
    send(Peer::kServer);
    send(Peer::kClient);
  }

  // Lets the buffers go once the relay turns idle: an idle relay holds no
  // output memory. (Freeing them after every receive instead would make the
  // allocator hand memory back and fault it in again for every receive.)
  bool holdsMemory() const { return toClient_.bytes || toServer_.bytes; }
  void release() {
    toClient_.release();
    toServer_.release();
  }

  Pacer& pacer() { return pacer_; }

  void note(std::string_view text) override { notes_.emplace_back(text); }
  // The notes since the last call, for the log.
  std::vector<std::string> takeNotes() { return std::exchange(notes_, {}); }

  // CTCP replies: within the limiter's rate, and with pacing only while no
  // line waits (so at most AnswerLimiter::kBurst replies, 2 KiB, ever wait).
  bool mayAnswer() override {
    const AnswerLimiter::Verdict verdict = relay_.options.pace && pacer_.queuedBytes() > 0
                                               ? limiter_.refuse()
                                               : limiter_.take(std::chrono::steady_clock::now());
    refusalsBegan_ |= verdict == AnswerLimiter::Verdict::kFirstRefused;
    return verdict == AnswerLimiter::Verdict::kSend;
  }

  // Whether a run of refused answers began since the last call.
  bool takeRefusalsBegan() { return std::exchange(refusalsBegan_, false); }

  void dropWaiting() override;

  // Tells the client a status line, in its character set, with the next flush.
  void tellClient(std::string text);

  // Sends `bytes` to `peer` now. Once a peer has stopped reading, nothing
  // more is sent to it: each send would wait out the limit again.
  void deliver(Peer peer, std::string_view bytes) {
    if (stalled_ == peer) {
      return;
    }
    const bool timedOut = peer == Peer::kServer ? server_.sendAll(bytes).timedOut()
                                                : relay_.client->sendAll(bytes).timedOut();
    if (timedOut && !stalled_) {
      stalled_ = peer;
    }
  }

  // The peer that took no bytes within the send limit, if one did.
  std::optional<Peer> stalled() const { return stalled_; }

 private:
  static constexpr std::size_t kGatherLimit = std::size_t{64} * 1024;

  struct Pending {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
    std::size_t capacity = 0;

    std::span<char> area() {
      if (capacity - size < kOutCapacity) {
        // Room for two more full groups, so a burst grows the buffer rarely.
        const std::size_t grown = size + 2 * kOutCapacity;
        std::unique_ptr<char[]> larger(new char[grown]);
        if (size > 0) {
          std::memcpy(larger.get(), bytes.get(), size);
        }
        bytes = std::move(larger);
        capacity = grown;
      }
      return {bytes.get() + size, kOutCapacity};
    }

    void release() {
      bytes.reset();
      size = 0;
      capacity = 0;
    }
  };

  Pending& pending(Peer peer) { return peer == Peer::kClient ? toClient_ : toServer_; }

  // A paste that leaves more than this many lines waiting is announced.
  static constexpr std::size_t kToldPaste = 10;
  void tellProgress(const Pacer::Queued& queued);

  void send(Peer peer) {
    Pending& held = pending(peer);
    const std::string_view bytes(held.bytes.get(), held.size);
    held.size = 0;
    if (bytes.empty()) {
      return;
    }
    if (peer == Peer::kServer) {
      if (relay_.options.pace) {
        tellProgress(pacer_.add(bytes, std::chrono::steady_clock::now()));
      } else {
        deliver(peer, bytes);
      }
    } else if (relay_.clientOpen()) {
      deliver(peer, bytes);
    }
  }

  Relay& relay_;
  platform::ByteStream& server_;
  Pacer pacer_;
  AnswerLimiter limiter_;
  bool refusalsBegan_ = false;
  std::vector<std::string> notes_;
  std::optional<Peer> stalled_;
  Pending toClient_;
  Pending toServer_;
};

// "3 lines", "1 line".
std::string linesText(std::size_t lines);

}  // namespace quayside
