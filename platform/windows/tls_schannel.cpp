#include "platform/tls.h"

namespace quayside::platform {

// Schannel is not wired up yet: a TLS server cannot be reached from this
// build, and says so instead of falling back to plain text.
TlsStart startTls(std::unique_ptr<ByteStream> transport, const TlsPeer& /*peer*/,
                  std::chrono::milliseconds /*limit*/) {
  if (transport) {
    transport->close();
  }
  TlsStart start;
  start.failure = TlsFailure::kFailed;
  start.error = "TLS is not available in this build";
  return start;
}

std::string colonFingerprint(std::string_view hex) {
  std::string text;
  for (std::size_t i = 0; i < hex.size(); ++i) {
    if (i > 0 && i % 2 == 0) {
      text += ':';
    }
    text += hex[i];
  }
  return text;
}

}  // namespace quayside::platform
