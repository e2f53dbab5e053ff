#pragma once

#include "platform/stream.h"
#include "support/timing.h"

#include <memory>
#include <string>
#include <vector>

// The server side of TLS for tests and the benchmark: certificates made in
// memory, and a TLS stream over an accepted socket.
namespace quayside::testing {

// A certificate and its private key, both PEM, and the SHA-256 of the
// certificate in 64 lower-case hex digits.
struct TestCertificate {
  std::string certificatePem;
  std::string keyPem;
  std::string fingerprint;
};

// A fresh P-256 key and a certificate for it, valid from an hour ago for a
// day, for a server with these subject alternative names (a DNS name may
// hold any bytes, NULs included; addresses as "127.0.0.1" or "::1"), signed
// by `issuer` or self-signed. Throws std::runtime_error when OpenSSL refuses.
TestCertificate makeServerCertificate(const std::vector<std::string>& dnsNames,
                                      const std::vector<std::string>& ipAddresses = {},
                                      const TestCertificate* issuer = nullptr);

// A self-signed certificate authority, to sign server certificates with.
TestCertificate makeAuthority();

// Runs the server side of a TLS handshake on `accepted` (which it takes),
// presenting `certificate`, within `timeout`. The stream's receiveSome never
// blocks (kNoBytesYet while a record is incomplete); sendAll waits as a
// blocking send does. Null on failure, with the reason in `error` when given.
std::unique_ptr<platform::ByteStream> acceptTls(SocketHandle accepted,
                                                const TestCertificate& certificate,
                                                Clock::duration timeout = kReadTimeout,
                                                std::string* error = nullptr);

}  // namespace quayside::testing
