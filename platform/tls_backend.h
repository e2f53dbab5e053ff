#pragma once

#include "platform/tls.h"

#include <chrono>
#include <memory>

// What each system's TLS library supplies to startTls; for platform/ only.
namespace quayside::platform {

// A TLS client stream before its handshake.
class TlsClientStream : public ByteStream {
 public:
  // Runs the handshake within `limit`; the stream is usable only when the
  // result names no failure.
  virtual TlsStart handshake(const TlsPeer& peer, std::chrono::milliseconds limit) = 0;
};

// Wraps `transport`, a connected stream (never null).
std::unique_ptr<TlsClientStream> makeTlsClientStream(std::unique_ptr<ByteStream> transport);

}  // namespace quayside::platform
