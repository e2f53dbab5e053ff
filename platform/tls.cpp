#include "platform/tls_backend.h"

#include <utility>

namespace quayside::platform {

TlsStart startTls(std::unique_ptr<ByteStream> transport, const TlsPeer& peer,
                  std::chrono::milliseconds limit) {
  if (!transport || transport->handle() == kNoSocket) {
    TlsStart start;
    start.failure = TlsFailure::kFailed;
    start.error = "no connection";
    return start;
  }
  std::unique_ptr<TlsClientStream> stream = makeTlsClientStream(std::move(transport));
  TlsStart start = stream->handshake(peer, limit);
  if (start.failure == TlsFailure::kNone) {
    start.stream = std::move(stream);
  }
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

std::string handshakeTimedOut(std::chrono::milliseconds limit) {
  const auto count = limit.count();
  return "no finished handshake within " +
         (count % 1000 == 0 ? std::to_string(count / 1000) + " s" : std::to_string(count) + " ms");
}

}  // namespace quayside::platform
