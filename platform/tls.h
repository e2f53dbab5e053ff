#pragma once

#include "platform/stream.h"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

// TLS client streams (OpenSSL on POSIX, Schannel on Windows, behind the same
// functions).
namespace quayside::platform {

// Why startTls failed.
enum class TlsFailure {
  kNone,
  kUntrusted,  // the certificate's chain does not lead to a trusted authority
  kWrongHost,  // a trusted certificate, but for another host name or address
  kTimedOut,   // no finished handshake in time (a plain-text port never answers one)
  kFailed,     // anything else: the peer's bytes are not TLS, it closed, no shared cipher...
};

// The server expected at the other end.
struct TlsPeer {
  // The host as the user named it: sent for SNI (names only) and checked
  // against the certificate (names and IP literals, without brackets).
  std::string host;
  // A SHA-256 fingerprint in 64 lower-case hex digits, or empty. A
  // certificate with this fingerprint is trusted whatever its chain and
  // names; any other is verified as usual.
  std::string fingerprint;
};

struct TlsStart {
  std::unique_ptr<ByteStream> stream;  // null when the start failed
  TlsFailure failure = TlsFailure::kNone;
  // Why, in plain words (the verification's or the TLS library's reason).
  std::string error;
  // The SHA-256 of the server's certificate (DER) in 64 lower-case hex
  // digits, once the server showed one; kept for a refused certificate so
  // the user can be offered to trust it.
  std::string fingerprint;
};

// How long a TLS handshake may take.
inline constexpr std::chrono::milliseconds kTlsHandshakeLimit{10000};

// Runs a TLS client handshake over `transport`, a connected TCP stream
// which it takes (and closes on failure), within `limit`. The certificate
// is verified against the system's trust store: as OpenSSL's default paths
// read it on POSIX (SSL_CERT_FILE and SSL_CERT_DIR apply), the roots
// Windows trusts on Windows (TLS 1.2 there). Never falls back to plain
// text. The stream returned never blocks in receiveSome (kNoBytesYet when a
// record is not yet whole) and says when decrypted bytes wait inside it.
TlsStart startTls(std::unique_ptr<ByteStream> transport, const TlsPeer& peer,
                  std::chrono::milliseconds limit = kTlsHandshakeLimit);

// The TLS library in use and its version, for --version ("OpenSSL 3.0.x ...").
std::string tlsLibraryVersion();

// 64 hex digits as people compare them: "ab:cd:...".
std::string colonFingerprint(std::string_view hex);

}  // namespace quayside::platform
