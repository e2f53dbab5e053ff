#include "platform/tls_backend.h"

#include "platform/wait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

namespace quayside::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct ContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// The TCP stream under the TLS layer, as the BIO below sees it.
struct Transport {
  std::unique_ptr<ByteStream> stream;
  bool ended = false;  // the peer closed its side
};

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when
// the peer is gone; this one sends with MSG_NOSIGNAL, and never blocks
// whatever mode the socket is in (the stream waits with the platform wait).
int transportWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const SocketHandle socket = static_cast<Transport*>(BIO_get_data(bio))->stream->handle();
  if (socket == kNoSocket || size < 0) {
    return -1;
  }
  ssize_t sent;
  do {
    sent = ::send(socket, data, static_cast<std::size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    BIO_set_retry_write(bio);
  }
  return static_cast<int>(sent);
}

int transportRead(BIO* bio, char* into, int size) {
  BIO_clear_retry_flags(bio);
  auto* transport = static_cast<Transport*>(BIO_get_data(bio));
  const SocketHandle socket = transport->stream->handle();
  if (socket == kNoSocket || size < 0) {
    return -1;
  }
  ssize_t count;
  do {
    count = ::recv(socket, into, static_cast<std::size_t>(size), MSG_DONTWAIT);
  } while (count < 0 && errno == EINTR);
  if (count == 0) {
    transport->ended = true;
  } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    BIO_set_retry_read(bio);
  }
  return static_cast<int>(count);
}

long transportControl(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return static_cast<Transport*>(BIO_get_data(bio))->ended ? 1 : 0;
    default:
      return 0;
  }
}

BIO_METHOD* transportMethod() {
  // Made once and kept for the program's life, as OpenSSL's own methods are.
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quayside");
    if (made != nullptr) {
      BIO_meth_set_write(made, transportWrite);
      BIO_meth_set_read(made, transportRead);
      BIO_meth_set_ctrl(made, transportControl);
    }
    return made;
  }();
  return method;
}

std::string sha256Hex(X509* certificate) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (certificate == nullptr ||
      X509_digest(certificate, EVP_sha256(), digest.data(), &length) != 1) {
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0F];
  }
  return hex;
}

// What the verification saw, kept on the SSL as its application data.
struct Verification {
  std::string pinned;       // the fingerprint to trust whatever the chain, or empty
  std::string fingerprint;  // the server certificate's
  bool pinMatched = false;
  int error = X509_V_OK;  // the first refusal
};

// Called by OpenSSL for every certificate of the chain and every check. A
// pinned certificate is accepted whatever the outcome; otherwise the first
// refusal ends the handshake and is kept for the reason.
int verifyCertificate(int preverified, X509_STORE_CTX* store) {
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* verification = static_cast<Verification*>(SSL_get_app_data(ssl));
  if (verification == nullptr) {
    return 0;
  }
  if (verification->fingerprint.empty()) {
    verification->fingerprint = sha256Hex(X509_STORE_CTX_get0_cert(store));
    verification->pinMatched =
        !verification->pinned.empty() && verification->fingerprint == verification->pinned;
  }
  if (verification->pinMatched) {
    return 1;
  }
  if (preverified == 0 && verification->error == X509_V_OK) {
    verification->error = X509_STORE_CTX_get_error(store);
    if (verification->error == X509_V_OK) {
      verification->error = X509_V_ERR_UNSPECIFIED;
    }
  }
  return preverified;
}

bool isIpLiteral(const std::string& host) {
  std::array<unsigned char, sizeof(in6_addr)> parsed{};
  return inet_pton(AF_INET, host.c_str(), parsed.data()) == 1 ||
         inet_pton(AF_INET6, host.c_str(), parsed.data()) == 1;
}

// The TLS library's reason for the last failure on this thread.
std::string libraryReason() {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  return reason != nullptr ? reason : "no reason given";
}

class TlsStream final : public TlsClientStream {
 public:
  explicit TlsStream(std::unique_ptr<ByteStream> transport) {
    transport_.stream = std::move(transport);
  }
  ~TlsStream() override { close(); }
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  TlsStart handshake(const TlsPeer& peer, milliseconds limit) override;

  long receiveSome(std::span<char> into) override {
    if (broken_ || handle() == kNoSocket) {
      return -1;
    }
    ERR_clear_error();
    std::size_t count = 0;
    const int result = SSL_read_ex(ssl_.get(), into.data(), into.size(), &count);
    if (result == 1) {
      return static_cast<long>(count);
    }
    switch (SSL_get_error(ssl_.get(), result)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        return kNoBytesYet;
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      default:
        broken_ = true;
        return -1;
    }
  }

  SendResult sendAll(std::string_view bytes) override {
    // The limit bounds the whole send, not each wait.
    const auto startedAt = std::chrono::steady_clock::now();
    while (!bytes.empty()) {
      if (broken_ || handle() == kNoSocket) {
        return {SendResult::Status::kFailed};
      }
      ERR_clear_error();
      std::size_t written = 0;
      const int result = SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &written);
      if (result == 1) {
        bytes.remove_prefix(written);
        continue;
      }
      // The rest waits as a blocking send would, up to the send limit.
      WaitResult wait;
      std::optional<std::chrono::milliseconds> left;
      if (sendLimit_) {
        left = std::max(std::chrono::milliseconds(0),
                        std::chrono::ceil<std::chrono::milliseconds>(
                            startedAt + *sendLimit_ - std::chrono::steady_clock::now()));
      }
      const int error = SSL_get_error(ssl_.get(), result);
      if (error == SSL_ERROR_WANT_WRITE) {
        wait = waitWritable(handle(), left);
      } else if (error == SSL_ERROR_WANT_READ) {
        std::array<WaitEntry, 1> entry{{{handle(), false}}};
        wait = waitReadable(entry, left);
      }
      if (wait.status != WaitStatus::kReady) {
        // A record may be half written: the session cannot go on.
        broken_ = true;
        return {wait.status == WaitStatus::kTimedOut ? SendResult::Status::kTimedOut
                                                     : SendResult::Status::kFailed};
      }
    }
    return {};
  }

  void setSendLimit(std::chrono::milliseconds limit) override { sendLimit_ = limit; }

  bool hasBufferedInput() const override { return ssl_ && SSL_pending(ssl_.get()) > 0; }

  SocketHandle handle() const override { return transport_.stream->handle(); }

  void close() override {
    if (handle() == kNoSocket) {
      return;
    }
    // A close_notify when the session is sound, without waiting for the answer.
    if (established_ && !broken_) {
      ERR_clear_error();
      SSL_shutdown(ssl_.get());
    }
    transport_.stream->close();
  }

 private:
  TlsStart failed(TlsFailure failure, std::string error) {
    broken_ = true;
    TlsStart start;
    start.failure = failure;
    start.error = std::move(error);
    start.fingerprint = verification_.fingerprint;
    return start;
  }

  // Declared first: the SSL's BIO points at it, so it must go last.
  Transport transport_;
  Verification verification_;
  std::unique_ptr<SSL_CTX, ContextFree> context_;
  std::unique_ptr<SSL, SslFree> ssl_;
  bool established_ = false;
  std::optional<std::chrono::milliseconds> sendLimit_;  // none: sends wait as long as it takes
  bool broken_ = false;  // after a fatal error OpenSSL must not be asked to shut down
};

TlsStart TlsStream::handshake(const TlsPeer& peer, milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  ERR_clear_error();
  context_.reset(SSL_CTX_new(TLS_client_method()));
  if (!context_ || transportMethod() == nullptr) {
    return failed(TlsFailure::kFailed, "cannot set up TLS: " + libraryReason());
  }
  SSL_CTX* context = context_.get();
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // Many IRC servers close without close_notify; that is an end, not an attack.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  // Without auto-retry a read that takes only a session ticket returns at
  // once instead of blocking the relay for the next record.
  SSL_CTX_clear_mode(context, SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // The system's trust store; SSL_CERT_FILE and SSL_CERT_DIR override it.
  // Read for every connection, so a changed store counts at once.
  SSL_CTX_set_default_verify_paths(context);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, verifyCertificate);

  ssl_.reset(SSL_new(context));
  BIO* bio = ssl_ ? BIO_new(transportMethod()) : nullptr;
  if (bio == nullptr) {
    return failed(TlsFailure::kFailed, "cannot set up TLS: " + libraryReason());
  }
  BIO_set_data(bio, &transport_);
  BIO_set_init(bio, 1);
  SSL* ssl = ssl_.get();
  SSL_set_bio(ssl, bio, bio);
  verification_.pinned = peer.fingerprint;
  SSL_set_app_data(ssl, &verification_);

  X509_VERIFY_PARAM* names = SSL_get0_param(ssl);
  bool named;
  if (isIpLiteral(peer.host)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(names, peer.host.c_str()) == 1;
  } else {
    X509_VERIFY_PARAM_set_hostflags(names, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = X509_VERIFY_PARAM_set1_host(names, peer.host.data(), peer.host.size()) == 1 &&
            SSL_set_tlsext_host_name(ssl, peer.host.c_str()) == 1;
  }
  if (!named) {
    return failed(TlsFailure::kFailed, "the host name cannot be used for TLS");
  }

  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int result = SSL_connect(ssl);
    if (result == 1) {
      break;
    }
    const int error = SSL_get_error(ssl, result);
    const int systemError = errno;
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      // Checked on every pass: a peer that keeps sending bytes which never
      // finish the handshake must not hold it open past the limit.
      const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
      WaitResult wait;
      wait.status = WaitStatus::kTimedOut;
      if (left > milliseconds(0)) {
        if (error == SSL_ERROR_WANT_READ) {
          std::array<WaitEntry, 1> entry{{{handle(), false}}};
          wait = waitReadable(entry, left);
        } else {
          wait = waitWritable(handle(), left);
        }
      }
      if (wait.status == WaitStatus::kTimedOut) {
        return failed(TlsFailure::kTimedOut, handshakeTimedOut(limit));
      }
      if (wait.status == WaitStatus::kFailed) {
        return failed(TlsFailure::kFailed, wait.error);
      }
      continue;
    }
    if (verification_.error != X509_V_OK) {
      const int refusal = verification_.error;
      const bool wrongHost =
          refusal == X509_V_ERR_HOSTNAME_MISMATCH || refusal == X509_V_ERR_IP_ADDRESS_MISMATCH;
      return failed(wrongHost ? TlsFailure::kWrongHost : TlsFailure::kUntrusted,
                    X509_verify_cert_error_string(refusal));
    }
    if (error == SSL_ERROR_ZERO_RETURN || transport_.ended) {
      return failed(TlsFailure::kFailed, "the server closed the connection");
    }
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      return failed(TlsFailure::kFailed,
                    systemError != 0 ? std::strerror(systemError) : "the connection failed");
    }
    return failed(TlsFailure::kFailed, libraryReason());
  }

  // The verification ran (a server without a certificate never gets here
  // with a cipher OpenSSL offers by default), but say so if it did not.
  if (SSL_get0_peer_certificate(ssl) == nullptr) {
    return failed(TlsFailure::kUntrusted, "the server showed no certificate");
  }
  if (verification_.fingerprint.empty()) {
    verification_.fingerprint = sha256Hex(SSL_get0_peer_certificate(ssl));
  }
  established_ = true;
  TlsStart start;
  start.fingerprint = verification_.fingerprint;
  return start;
}

}  // namespace

std::string tlsLibraryVersion() {
  // The library loaded at run time, which may be newer than the headers.
  return OpenSSL_version(OPENSSL_VERSION);
}

std::unique_ptr<TlsClientStream> makeTlsClientStream(std::unique_ptr<ByteStream> transport) {
  return std::make_unique<TlsStream>(std::move(transport));
}

}  // namespace quayside::platform
