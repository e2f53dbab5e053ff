// Translation cost without sockets: a 10,000-line chat burst each way fed
// through the real framing and translations, as the relay thread would.
// Run: build/bench/bench/quayside-translate-bench [rounds]
// Deterministic work, so it also suits `valgrind --tool=callgrind`.
#include "relay/framing.h"
#include "relay/relay.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace quayside;

// Counts what would be sent, so the work cannot be optimised away.
class CountingOutput final : public RelayOutput {
 public:
  std::span<char> area(Peer) override { return area_; }
  void commit(Peer, std::size_t size) override { bytes_ += size; }
  void closeClient() override {}
  std::size_t bytes_ = 0;

 private:
  std::vector<char> area_ = std::vector<char>(kOutCapacity);
};

std::string burst(bool fromClient) {
  std::string data;
  char line[96];
  for (int i = 0; i < 10000; ++i) {
    if (fromClient) {
      std::snprintf(line, sizeof line, "<bob> burst %05d|", i);
    } else {
      std::snprintf(line, sizeof line, ":alice!~alice@127.0.0.1 PRIVMSG #bench :burst %05d\r\n", i);
    }
    data += line;
  }
  return data;
}

double nanosecondsPerLine(bool fromClient, int rounds, std::size_t& sent) {
  const std::string data = burst(fromClient);
  CountingOutput out;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < rounds; ++round) {
    auto relay = std::make_unique<Relay>();
    relay->channel.assign("#bench");
    relay->nick.assign("bob");
    relay->loginFlags = kLoginValidated | kLoginNickSent | kLoginInfoReceived | kLoginUserSent;
    // Receives of about the size the relay sees under load.
    std::string_view rest = data;
    while (!rest.empty()) {
      const std::string_view piece = rest.substr(0, 8192);
      rest.remove_prefix(piece.size());
      feed(*relay, fromClient ? Stream::kClient : Stream::kServer, piece, standardTranslator(),
           out);
    }
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  sent = out.bytes_;
  return std::chrono::duration<double, std::nano>(elapsed).count() / (rounds * 10000.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 50;
  std::size_t sent = 0;
  const double clientSide = nanosecondsPerLine(true, rounds, sent);
  std::printf("client>server  %8.1f ns per chat line  (%zu bytes out)\n", clientSide, sent);
  const double serverSide = nanosecondsPerLine(false, rounds, sent);
  std::printf("server>client  %8.1f ns per chat line  (%zu bytes out)\n", serverSide, sent);
  return 0;
}
