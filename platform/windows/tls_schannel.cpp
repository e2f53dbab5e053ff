#include "platform/tls_backend.h"

#include "platform/net.h"
#include "platform/wait.h"
#include "platform/windows/win32.h"

#define SECURITY_WIN32
// clang-format off
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>
// clang-format on

#include <algorithm>
#include <array>
#include <vector>

namespace quayside::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What a TLS record can hold at most, with its header and trailer.
constexpr std::size_t kRecordRoom = 16384 + 2048;

constexpr unsigned long kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                          ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                          ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                          ISC_REQ_MANUAL_CRED_VALIDATION;

std::string hexOf(const unsigned char* bytes, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) {
    hex += kHex[bytes[i] >> 4];
    hex += kHex[bytes[i] & 0x0F];
  }
  return hex;
}

std::string sha256Hex(PCCERT_CONTEXT certificate) {
  std::array<unsigned char, 32> digest{};
  DWORD length = digest.size();
  if (certificate == nullptr ||
      ::CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, certificate->pbCertEncoded,
                              certificate->cbCertEncoded, digest.data(), &length) == 0) {
    return {};
  }
  return hexOf(digest.data(), length);
}

bool isIpLiteral(const std::string& host) {
  std::array<unsigned char, 16> parsed{};
  const std::wstring wide = win32::wide(host);
  return ::InetPtonW(AF_INET, wide.c_str(), parsed.data()) == 1 ||
         ::InetPtonW(AF_INET6, wide.c_str(), parsed.data()) == 1;
}

// Receives once into the end of `buffer`, waiting for readability until
// `deadline` (none: only what is there now). The count, 0 when the peer
// closed, -1 on an error, kNoBytesYet when nothing came in time.
long receiveInto(SocketHandle socket, std::vector<char>& buffer,
                 std::optional<Clock::time_point> deadline) {
  auto left = milliseconds(0);
  if (deadline) {
    left = std::chrono::ceil<milliseconds>(*deadline - Clock::now());
    left = std::max(left, milliseconds(0));
  }
  std::array<WaitEntry, 1> entry{{{socket, false}}};
  const WaitResult wait = waitReadable(entry, left);
  if (wait.status == WaitStatus::kFailed) {
    return -1;
  }
  if (!entry[0].readable) {
    return kNoBytesYet;
  }
  const std::size_t used = buffer.size();
  buffer.resize(used + kRecordRoom);
  const long count = platform::receiveSome(socket, buffer.data() + used, kRecordRoom);
  buffer.resize(used + static_cast<std::size_t>(count > 0 ? count : 0));
  return count;
}

class TlsStream final : public TlsClientStream {
 public:
  explicit TlsStream(std::unique_ptr<ByteStream> transport) : transport_(std::move(transport)) {}
  ~TlsStream() override {
    close();
    if (haveContext_) {
      ::DeleteSecurityContext(&context_);
    }
    if (haveCredentials_) {
      ::FreeCredentialsHandle(&credentials_);
    }
  }
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  TlsStart handshake(const TlsPeer& peer, milliseconds limit) override;

  long receiveSome(std::span<char> into) override {
    if (broken_ || handle() == kNoSocket) {
      return -1;
    }
    if (plain_.empty() && !ended_) {
      const long count = receiveInto(handle(), encrypted_, std::nullopt);
      if (count == 0) {
        ended_ = true;  // many IRC servers close without close_notify: an end all the same
      } else if (count < 0 && count != kNoBytesYet) {
        broken_ = true;
        return -1;
      }
      if (!decryptAll()) {
        broken_ = true;
        return -1;
      }
    }
    if (plain_.empty()) {
      return ended_ ? 0 : kNoBytesYet;
    }
    const std::size_t count = std::min(into.size(), plain_.size());
    std::copy_n(plain_.begin(), count, into.begin());
    plain_.erase(plain_.begin(), plain_.begin() + static_cast<std::ptrdiff_t>(count));
    return static_cast<long>(count);
  }

  SendResult sendAll(std::string_view bytes) override {
    // One start for every record: the limit bounds the whole send.
    const auto startedAt = std::chrono::steady_clock::now();
    std::vector<char> record;
    while (!bytes.empty()) {
      if (broken_ || handle() == kNoSocket) {
        return {SendResult::Status::kFailed};
      }
      const std::size_t part = std::min<std::size_t>(bytes.size(), sizes_.cbMaximumMessage);
      record.assign(sizes_.cbHeader + part + sizes_.cbTrailer, '\0');
      std::copy_n(bytes.data(), part, record.data() + sizes_.cbHeader);
      std::array<SecBuffer, 4> buffers{{
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {static_cast<unsigned long>(part), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + part},
          {0, SECBUFFER_EMPTY, nullptr},
      }};
      SecBufferDesc description{SECBUFFER_VERSION, buffers.size(), buffers.data()};
      if (::EncryptMessage(&context_, 0, &description, 0) != SEC_E_OK) {
        broken_ = true;
        return {SendResult::Status::kFailed};
      }
      const std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
      // A record may be half written: the session cannot go on.
      if (const SendResult sent =
              platform::sendAll(handle(), std::string_view(record.data(), total), startedAt);
          !sent) {
        broken_ = true;
        return sent;
      }
      bytes.remove_prefix(part);
    }
    return {};
  }

  // The records go out through the socket's own sends.
  void setSendLimit(milliseconds limit) override { platform::setSendLimit(handle(), limit); }

  bool hasBufferedInput() const override { return !plain_.empty(); }

  SocketHandle handle() const override { return transport_->handle(); }

  void close() override {
    if (handle() == kNoSocket) {
      return;
    }
    // A close_notify when the session is sound, without waiting for the answer.
    if (established_ && !broken_) {
      DWORD type = SCHANNEL_SHUTDOWN;
      SecBuffer shutdown{sizeof type, SECBUFFER_TOKEN, &type};
      SecBufferDesc shutdownDescription{SECBUFFER_VERSION, 1, &shutdown};
      if (::ApplyControlToken(&context_, &shutdownDescription) == SEC_E_OK) {
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc outDescription{SECBUFFER_VERSION, 1, &out};
        unsigned long attributes = 0;
        ::InitializeSecurityContextW(&credentials_, &context_, nullptr, kContextRequest, 0, 0,
                                     nullptr, 0, nullptr, &outDescription, &attributes, nullptr);
        if (out.pvBuffer != nullptr) {
          platform::sendAll(handle(),
                            std::string_view(static_cast<const char*>(out.pvBuffer), out.cbBuffer));
          ::FreeContextBuffer(out.pvBuffer);
        }
      }
    }
    transport_->close();
  }

 private:
  TlsStart failed(TlsFailure failure, std::string error) {
    broken_ = true;
    TlsStart start;
    start.failure = failure;
    start.error = std::move(error);
    start.fingerprint = fingerprint_;
    return start;
  }

  // Decrypts every whole record held, so that a record which came with an
  // earlier one never waits for the socket to become readable again.
  bool decryptAll() {
    while (!encrypted_.empty()) {
      std::array<SecBuffer, 4> buffers{{
          {static_cast<unsigned long>(encrypted_.size()), SECBUFFER_DATA, encrypted_.data()},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
      }};
      SecBufferDesc description{SECBUFFER_VERSION, buffers.size(), buffers.data()};
      const SECURITY_STATUS status = ::DecryptMessage(&context_, &description, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        return true;
      }
      if (status == SEC_I_CONTEXT_EXPIRED) {
        ended_ = true;  // the server's close_notify
        encrypted_.clear();
        return true;
      }
      if (status != SEC_E_OK) {
        return false;  // renegotiation included: it is refused, as on POSIX
      }
      std::vector<char> extra;
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.pvBuffer != nullptr) {
          const auto* data = static_cast<const char*>(buffer.pvBuffer);
          plain_.insert(plain_.end(), data, data + buffer.cbBuffer);
        } else if (buffer.BufferType == SECBUFFER_EXTRA) {
          const char* data = encrypted_.data() + (encrypted_.size() - buffer.cbBuffer);
          extra.assign(data, data + buffer.cbBuffer);
        }
      }
      encrypted_ = std::move(extra);
    }
    return true;
  }

  TlsStart verify(const TlsPeer& peer);

  std::unique_ptr<ByteStream> transport_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool haveCredentials_ = false;
  bool haveContext_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::vector<char> encrypted_;  // received, not yet decrypted
  std::vector<char> plain_;      // decrypted, not yet taken
  std::string fingerprint_;
  bool established_ = false;
  bool ended_ = false;
  bool broken_ = false;
};

// The certificate checks, once the handshake is done: a pinned fingerprint
// is trusted whatever the chain and names; otherwise the chain must lead to
// a root the system trusts and the certificate must name the host.
TlsStart TlsStream::verify(const TlsPeer& peer) {
  PCCERT_CONTEXT certificate = nullptr;
  if (::QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
          SEC_E_OK ||
      certificate == nullptr) {
    return failed(TlsFailure::kUntrusted, "the server showed no certificate");
  }
  fingerprint_ = sha256Hex(certificate);
  if (!peer.fingerprint.empty() && fingerprint_ == peer.fingerprint) {
    ::CertFreeCertificateContext(certificate);
    return {};
  }

  std::array<char*, 1> serverUse{const_cast<char*>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = serverUse.size();
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = serverUse.data();
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (::CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara,
                                0, nullptr, &chain) == 0) {
    const std::string reason = win32::errorText(::GetLastError());
    ::CertFreeCertificateContext(certificate);
    return failed(TlsFailure::kUntrusted, reason);
  }
  std::wstring serverName = win32::wide(peer.host);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = serverName.data();
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  const BOOL checked =
      ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
  const DWORD chainErrors = chain->TrustStatus.dwErrorStatus;
  ::CertFreeCertificateChain(chain);
  ::CertFreeCertificateContext(certificate);
  if (checked == 0) {
    return failed(TlsFailure::kUntrusted, win32::errorText(::GetLastError()));
  }
  if (status.dwError != 0) {
    const auto refusal = static_cast<HRESULT>(status.dwError);
    return failed(refusal == CERT_E_CN_NO_MATCH ? TlsFailure::kWrongHost : TlsFailure::kUntrusted,
                  win32::errorText(status.dwError));
  }
  // The chain's own verdict as well: the policy check alone does not refuse
  // every broken chain on every system that offers these calls (wine).
  struct Refusal {
    DWORD trustError;
    HRESULT reason;
  };
  static constexpr std::array<Refusal, 6> kRefusals{{
      {CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT},
      {CERT_TRUST_IS_PARTIAL_CHAIN, CERT_E_CHAINING},
      {CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED},
      {CERT_TRUST_IS_NOT_SIGNATURE_VALID, TRUST_E_CERT_SIGNATURE},
      {CERT_TRUST_IS_REVOKED, CERT_E_REVOKED},
      {CERT_TRUST_IS_NOT_VALID_FOR_USAGE | CERT_TRUST_IS_CYCLIC | CERT_TRUST_INVALID_EXTENSION |
           CERT_TRUST_INVALID_POLICY_CONSTRAINTS | CERT_TRUST_INVALID_BASIC_CONSTRAINTS |
           CERT_TRUST_INVALID_NAME_CONSTRAINTS,
       CERT_E_WRONG_USAGE},
  }};
  for (const Refusal& refusal : kRefusals) {
    if ((chainErrors & refusal.trustError) != 0) {
      return failed(TlsFailure::kUntrusted,
                    win32::errorText(static_cast<unsigned long>(refusal.reason)));
    }
  }
  return {};
}

TlsStart TlsStream::handshake(const TlsPeer& peer, milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  SCHANNEL_CRED settings{};
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  // The certificate is checked here, after the handshake (verify), so that a
  // pinned one is accepted and a refusal says why.
  settings.dwFlags =
      SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  wchar_t package[] = UNISP_NAME_W;
  SECURITY_STATUS status =
      ::AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &settings,
                                  nullptr, nullptr, &credentials_, nullptr);
  if (status != SEC_E_OK) {
    return failed(TlsFailure::kFailed,
                  "cannot set up TLS: " + win32::errorText(static_cast<unsigned long>(status)));
  }
  haveCredentials_ = true;

  // The name goes out for SNI (names only) and is what verify checks.
  std::wstring target = isIpLiteral(peer.host) ? std::wstring() : win32::wide(peer.host);
  if (peer.host.empty() || peer.host.find('\0') != std::string::npos) {
    return failed(TlsFailure::kFailed, "the host name cannot be used for TLS");
  }
  std::vector<char> received;
  bool first = true;
  for (;;) {
    // Every handshake step starts at a record: one whose header is not TLS's
    // (content type 20 to 24, version 3.x) means a peer that speaks another
    // protocol, and no later byte can mend that.
    if (received.size() >= 2 &&
        (static_cast<unsigned char>(received[0]) < 20 ||
         static_cast<unsigned char>(received[0]) > 24 || received[1] != 3)) {
      return failed(TlsFailure::kFailed, "the server's answer is not TLS");
    }
    std::array<SecBuffer, 2> in{{
        {static_cast<unsigned long>(received.size()), SECBUFFER_TOKEN, received.data()},
        {0, SECBUFFER_EMPTY, nullptr},
    }};
    SecBufferDesc inDescription{SECBUFFER_VERSION, in.size(), in.data()};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDescription{SECBUFFER_VERSION, 1, &out};
    unsigned long attributes = 0;
    status = ::InitializeSecurityContextW(
        &credentials_, first ? nullptr : &context_, target.empty() ? nullptr : target.data(),
        kContextRequest, 0, 0, first ? nullptr : &inDescription, 0, first ? &context_ : nullptr,
        &outDescription, &attributes, nullptr);
    if (first) {
      haveContext_ = status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK;
      first = false;
    }
    if (out.pvBuffer != nullptr) {
      const bool sent =
          out.cbBuffer == 0 ||
          platform::sendAll(handle(),
                            std::string_view(static_cast<const char*>(out.pvBuffer), out.cbBuffer));
      ::FreeContextBuffer(out.pvBuffer);
      if (!sent) {
        return failed(TlsFailure::kFailed, "the server closed the connection");
      }
    }
    if (status != SEC_E_INCOMPLETE_MESSAGE) {
      // What the step did not use waits for the next one (or, after the
      // last, is the first of the server's records).
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= received.size()) {
        received.erase(received.begin(),
                       received.end() - static_cast<std::ptrdiff_t>(in[1].cbBuffer));
      } else {
        received.clear();
      }
    }
    if (status == SEC_E_OK) {
      break;
    }
    if (status != SEC_I_CONTINUE_NEEDED && status != SEC_E_INCOMPLETE_MESSAGE &&
        status != SEC_I_INCOMPLETE_CREDENTIALS) {
      return failed(TlsFailure::kFailed, win32::errorText(static_cast<unsigned long>(status)));
    }
    if (status == SEC_I_CONTINUE_NEEDED && !received.empty()) {
      continue;  // the next step has its bytes already
    }
    // Checked on every pass: a peer that keeps sending bytes which never
    // finish the handshake must not hold it open past the limit.
    const long count = receiveInto(handle(), received, deadline);
    if (count == kNoBytesYet) {
      return failed(TlsFailure::kTimedOut, handshakeTimedOut(limit));
    }
    if (count == 0) {
      return failed(TlsFailure::kFailed, "the server closed the connection");
    }
    if (count < 0) {
      return failed(TlsFailure::kFailed, "the connection failed");
    }
  }

  if (TlsStart refused = verify(peer); refused.failure != TlsFailure::kNone) {
    return refused;
  }
  if (::QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK) {
    return failed(TlsFailure::kFailed, "cannot set up TLS: no record sizes");
  }
  encrypted_ = std::move(received);
  if (!decryptAll()) {
    return failed(TlsFailure::kFailed, "the server's first record cannot be read");
  }
  established_ = true;
  TlsStart start;
  start.fingerprint = fingerprint_;
  return start;
}

}  // namespace

std::string tlsLibraryVersion() {
  // Schannel is part of Windows; its version is the system's.
  return "Schannel (Windows)";
}

std::unique_ptr<TlsClientStream> makeTlsClientStream(std::unique_ptr<ByteStream> transport) {
  return std::make_unique<TlsStream>(std::move(transport));
}

}  // namespace quayside::platform
