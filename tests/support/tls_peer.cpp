#include "support/tls_peer.h"

#include "platform/net.h"
#include "platform/process.h"
#include "platform/wait.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>
#include <atomic>
#include <functional>
#include <stdexcept>

namespace quayside::testing {
namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Context = std::unique_ptr<SSL_CTX, Freer<SSL_CTX, SSL_CTX_free>>;
using Ssl = std::unique_ptr<SSL, Freer<SSL, SSL_free>>;

void check(bool ok, const char* step) {
  if (!ok) {
    throw std::runtime_error(std::string("making a test certificate failed at ") + step);
  }
}

std::string pemOf(const std::function<int(BIO*)>& write) {
  const Bio bio(BIO_new(BIO_s_mem()));
  check(bio && write(bio.get()) == 1, "PEM");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return {data, static_cast<std::size_t>(size)};
}

Bio readable(const std::string& pem) {
  return Bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
}

void addExtension(X509* certificate, X509V3_CTX& context, int nid, const char* value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  check(extension != nullptr && X509_add_ext(certificate, extension, -1) == 1, value);
  X509_EXTENSION_free(extension);
}

std::string lastError() {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  return reason != nullptr ? reason : "no reason given";
}

// Server side of a TLS session on a non-blocking socket.
class ServerStream final : public platform::ByteStream {
 public:
  ServerStream(SocketHandle socket, Context context, Ssl ssl)
      : socket_(socket), context_(std::move(context)), ssl_(std::move(ssl)) {}
  ~ServerStream() override { close(); }
  ServerStream(const ServerStream&) = delete;
  ServerStream& operator=(const ServerStream&) = delete;

  long receiveSome(std::span<char> into) override {
    ERR_clear_error();
    std::size_t count = 0;
    const int result = SSL_read_ex(ssl_.get(), into.data(), into.size(), &count);
    if (result == 1) {
      return static_cast<long>(count);
    }
    switch (SSL_get_error(ssl_.get(), result)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        return platform::kNoBytesYet;
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      default:
        return -1;
    }
  }

  platform::SendResult sendAll(std::string_view bytes) override {
    while (!bytes.empty() && socket_ != kNoSocket) {
      ERR_clear_error();
      std::size_t written = 0;
      const int result = SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &written);
      if (result == 1) {
        bytes.remove_prefix(written);
        continue;
      }
      const int error = SSL_get_error(ssl_.get(), result);
      std::array<platform::WaitEntry, 1> entry{{{socket_, false}}};
      if (error == SSL_ERROR_WANT_WRITE) {
        platform::waitWritable(socket_, kReadTimeout);
      } else if (error == SSL_ERROR_WANT_READ) {
        platform::waitReadable(entry, kReadTimeout);
      } else {
        return {platform::SendResult::Status::kFailed};
      }
    }
    return {bytes.empty() ? platform::SendResult::Status::kSent
                          : platform::SendResult::Status::kFailed};
  }

  void setSendLimit(std::chrono::milliseconds) override {}

  bool hasBufferedInput() const override { return SSL_pending(ssl_.get()) > 0; }
  SocketHandle handle() const override { return socket_; }
  void close() override { platform::closeSocket(socket_); }

 private:
  SocketHandle socket_;
  Context context_;
  Ssl ssl_;
};

struct CertificateRequest {
  std::string commonName;
  std::vector<std::string> dnsNames;
  std::vector<std::string> ipAddresses;
  const TestCertificate* issuer = nullptr;  // null: self-signed
  bool authority = false;
};

TestCertificate makeCertificate(const CertificateRequest& request) {
  static std::atomic<long> serial{1};
  const Key key(EVP_EC_gen("P-256"));
  check(key != nullptr, "key");
  const Certificate certificate(X509_new());
  check(certificate != nullptr, "certificate");
  X509* made = certificate.get();
  X509_set_version(made, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(made), serial++);
  X509_gmtime_adj(X509_getm_notBefore(made), -3600);
  X509_gmtime_adj(X509_getm_notAfter(made), 86400);
  X509_set_pubkey(made, key.get());
  X509_NAME* subject = X509_get_subject_name(made);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(request.commonName.data()),
                             static_cast<int>(request.commonName.size()), -1, 0);

  Certificate issuer;
  Key issuerKey;
  if (request.issuer != nullptr) {
    issuer.reset(PEM_read_bio_X509(readable(request.issuer->certificatePem).get(), nullptr, nullptr,
                                   nullptr));
    issuerKey.reset(
        PEM_read_bio_PrivateKey(readable(request.issuer->keyPem).get(), nullptr, nullptr, nullptr));
    check(issuer && issuerKey, "issuer");
  }
  X509* signer = issuer ? issuer.get() : made;
  X509_set_issuer_name(made, X509_get_subject_name(signer));

  X509V3_CTX context;
  X509V3_set_ctx(&context, signer, made, nullptr, nullptr, 0);
  addExtension(made, context, NID_basic_constraints,
               request.authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
  addExtension(made, context, NID_key_usage,
               request.authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
  addExtension(made, context, NID_subject_key_identifier, "hash");
  if (request.issuer != nullptr) {
    addExtension(made, context, NID_authority_key_identifier, "keyid:always");
  }
  if (!request.authority) {
    addExtension(made, context, NID_ext_key_usage, "serverAuth");
  }
  // Built by hand rather than from text, so a name may hold any byte.
  if (!request.dnsNames.empty() || !request.ipAddresses.empty()) {
    GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
    for (const std::string& dns : request.dnsNames) {
      ASN1_IA5STRING* text = ASN1_IA5STRING_new();
      ASN1_STRING_set(text, dns.data(), static_cast<int>(dns.size()));
      GENERAL_NAME* name = GENERAL_NAME_new();
      GENERAL_NAME_set0_value(name, GEN_DNS, text);
      sk_GENERAL_NAME_push(names, name);
    }
    for (const std::string& ip : request.ipAddresses) {
      ASN1_OCTET_STRING* address = a2i_IPADDRESS(ip.c_str());
      check(address != nullptr, "IP address");
      GENERAL_NAME* name = GENERAL_NAME_new();
      GENERAL_NAME_set0_value(name, GEN_IPADD, address);
      sk_GENERAL_NAME_push(names, name);
    }
    const int added = X509_add1_ext_i2d(made, NID_subject_alt_name, names, 0, 0);
    GENERAL_NAMES_free(names);
    check(added == 1, "subject alternative names");
  }
  check(X509_sign(made, issuerKey ? issuerKey.get() : key.get(), EVP_sha256()) > 0, "signing");

  TestCertificate result;
  result.certificatePem = pemOf([&](BIO* bio) { return PEM_write_bio_X509(bio, made); });
  result.keyPem = pemOf([&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  check(X509_digest(made, EVP_sha256(), digest.data(), &length) == 1, "digest");
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < length; ++i) {
    result.fingerprint += kHex[digest[i] >> 4];
    result.fingerprint += kHex[digest[i] & 0x0F];
  }
  return result;
}

}  // namespace

TestCertificate makeServerCertificate(const std::vector<std::string>& dnsNames,
                                      const std::vector<std::string>& ipAddresses,
                                      const TestCertificate* issuer) {
  return makeCertificate({"Quayside test server", dnsNames, ipAddresses, issuer, false});
}

TestCertificate makeAuthority() {
  return makeCertificate({"Quayside test authority", {}, {}, nullptr, true});
}

std::unique_ptr<platform::ByteStream> acceptTls(SocketHandle accepted,
                                                const TestCertificate& certificate,
                                                Clock::duration timeout, std::string* error) {
  // OpenSSL's socket BIO writes with write(): a gone peer must not kill the test.
  platform::ignoreSigpipe();
  const auto fail = [&](std::string why) -> std::unique_ptr<platform::ByteStream> {
    if (error != nullptr) {
      *error = std::move(why);
    }
    platform::closeSocket(accepted);
    return nullptr;
  };
  if (accepted == kNoSocket) {
    return fail("no connection");
  }
  ERR_clear_error();
  Context context(SSL_CTX_new(TLS_server_method()));
  const Certificate leaf(
      PEM_read_bio_X509(readable(certificate.certificatePem).get(), nullptr, nullptr, nullptr));
  const Key key(
      PEM_read_bio_PrivateKey(readable(certificate.keyPem).get(), nullptr, nullptr, nullptr));
  if (!context || !leaf || !key || SSL_CTX_use_certificate(context.get(), leaf.get()) != 1 ||
      SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1) {
    return fail("cannot set up the TLS server: " + lastError());
  }
  SSL_CTX_clear_mode(context.get(), SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_mode(context.get(),
                   SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  Ssl ssl(SSL_new(context.get()));
  if (!ssl || SSL_set_fd(ssl.get(), accepted) != 1) {
    return fail("cannot set up the TLS server: " + lastError());
  }
  platform::setBlocking(accepted, false);
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    ERR_clear_error();
    const int result = SSL_accept(ssl.get());
    if (result == 1) {
      break;
    }
    const int why = SSL_get_error(ssl.get(), result);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if ((why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE)) {
      return fail("TLS accept failed: " + lastError());
    }
    if (left <= std::chrono::milliseconds(0)) {
      return fail("TLS accept timed out");
    }
    std::array<platform::WaitEntry, 1> entry{{{accepted, false}}};
    if (why == SSL_ERROR_WANT_READ) {
      platform::waitReadable(entry, left);
    } else {
      platform::waitWritable(accepted, left);
    }
  }
  return std::make_unique<ServerStream>(accepted, std::move(context), std::move(ssl));
}

}  // namespace quayside::testing
