// Saves two different Bridge lists over one settings file, in turn, until it
// is killed: the subject of the kill-during-save test.
#include "bridge/settings.h"

#include <cstdio>
#include <string>

namespace {

quayside::BridgeList bridges(int count, const char* server) {
  quayside::BridgeList list;
  for (int i = 0; i < count; ++i) {
    quayside::Bridge& bridge = list.emplace_back();
    bridge.enabled = 1;
    bridge.upstreamKind = 1;
    bridge.localPort = static_cast<std::uint16_t>(4000 + i);
    quayside::setFieldText(bridge.server, server);
    quayside::setFieldText(bridge.channel, "#saved");
  }
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: settings_saver FILE\n", stderr);
    return 2;
  }
  const std::string path = argv[1];
  const quayside::BridgeList lists[] = {bridges(3, "old.example"), bridges(5, "new.example")};
  for (unsigned round = 0;; ++round) {
    if (!quayside::saveSettings(lists[round % 2], path).ok) {
      return 1;
    }
    if (round == 0) {
      std::fputs("saved\n", stdout);
      std::fflush(stdout);
    }
  }
}
