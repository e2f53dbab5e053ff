#pragma once

#include "platform/tls.h"

#include <chrono>
#include <memory>
#include <string>

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

// Why a handshake that did not finish within `limit` failed, in both systems'
// words alike: "no finished handshake within 10 s".
std::string handshakeTimedOut(std::chrono::milliseconds limit);

}  // namespace quayside::platform
