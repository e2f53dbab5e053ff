#pragma once

#include "translate/output.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quayside::testing {

// Records every committed group separately, so a test can say "this
// produced exactly these sends".
class RecordingOutput : public RelayOutput {
 public:
  // A smaller area lets a test reach the composing limits with short texts.
  explicit RecordingOutput(std::size_t areaSize = kOutCapacity)
      : clientArea_(areaSize), serverArea_(areaSize) {}

  std::span<char> area(Peer peer) override {
    return peer == Peer::kClient ? clientArea_ : serverArea_;
  }
  void commit(Peer peer, std::size_t size) override {
    const std::span<char> held = area(peer);
    (peer == Peer::kClient ? client : server).emplace_back(held.data(), size);
  }
  void closeClient() override { ++closes; }
  void dropWaiting() override { ++drops; }
  void note(std::string_view text) override { notes.emplace_back(text); }

  void clear() {
    client.clear();
    server.clear();
    closes = 0;
    drops = 0;
    notes.clear();
  }

  std::vector<std::string> client;
  std::vector<std::string> server;
  int closes = 0;
  int drops = 0;
  std::vector<std::string> notes;  // for the log

 private:
  std::vector<char> clientArea_;
  std::vector<char> serverArea_;
};

}  // namespace quayside::testing
