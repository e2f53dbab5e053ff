// Option lists as typed on the command line or read from a record: no
// crash, and every accepted list formats to text that reads back the same.
#include "core/session_options.h"
#include "fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace quayside;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view list(reinterpret_cast<const char*>(data), size);
  SessionOptions single;
  static_cast<void>(applyOption(single, list));
  SessionOptions options;
  if (!applyOptions(options, list).empty()) {
    return 0;
  }
  const std::string text = formatOptions(options);
  SessionOptions again;
  const std::string error = applyOptions(again, text);
  if (!error.empty() || !(again == options) || formatOptions(again) != text) {
    fuzz::fail("formatted options do not read back the same", text + " / " + error);
  }
  return 0;
}
