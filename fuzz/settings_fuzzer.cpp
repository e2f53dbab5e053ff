// Settings records as stored bytes: decoding never fails, and what is decoded
// is stored again the same way after one pass (options read back whole).
#include "bridge/bridge.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

using namespace quayside;

namespace {

std::string bytesOf(const BridgeRecord& record) {
  return {reinterpret_cast<const char*>(record.data()), record.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Every record of the input, the last one filled up with zeros as a short
  // file's last record never is: the decoder sees whole records only.
  for (std::size_t at = 0; at < size; at += kBridgeRecordSize) {
    BridgeRecord record{};
    std::memcpy(record.data(), data + at, std::min(size - at, kBridgeRecordSize));
    const Bridge bridge = decodeBridge(record);
    const BridgeRecord stored = encodeBridge(bridge);
    const Bridge again = decodeBridge(stored);
    if (encodeBridge(again) != stored) {
      fuzz::fail("a stored record changes when stored again", bytesOf(stored));
    }
    if (!(again.options == bridge.options) || again.server != bridge.server ||
        again.channel != bridge.channel || again.localPort != bridge.localPort) {
      fuzz::fail("a record reads back differently once stored", bytesOf(record));
    }
  }
  return 0;
}
