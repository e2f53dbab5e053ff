#include "relay/server_connect.h"

#include "core/server_address.h"
#include "platform/tls.h"

#include <utility>

namespace quayside {
namespace {

constexpr std::string_view kUntrustedCertificate = "the server's certificate is not trusted";
constexpr std::string_view kCertificateForOtherHost = "the certificate is for another host name";
constexpr std::string_view kNotResolved = "server name does not resolve";
constexpr std::string_view kNotConnected = "cannot connect to the server";
constexpr std::string_view kConnectTimedOut = "connecting to the server timed out";
constexpr std::string_view kTlsTimedOut = "TLS handshake timed out";
constexpr std::string_view kTlsFailed = "TLS handshake failed";

// What a refused certificate is, and how to trust it anyway.
std::string certificateDetail(const platform::TlsStart& tls, std::string_view trust) {
  std::string detail = tls.error;
  if (!tls.fingerprint.empty()) {
    detail += "; SHA-256 fingerprint " + platform::colonFingerprint(tls.fingerprint) + "; " +
              std::string(trust) + ", set the option fingerprint=" + tls.fingerprint;
  }
  return detail;
}

// The TLS session over the connected `server`, verified for `host`; returns
// why it could not start, or an empty view.
std::string_view startTls(Relay& relay, std::string_view host,
                          std::unique_ptr<platform::ByteStream>& server, std::string& detail) {
  platform::TlsStart tls = platform::startTls(
      std::move(server), {std::string(host), std::string(relay.options.fingerprint.view())});
  relay.serverFingerprint.assign(tls.fingerprint);
  switch (tls.failure) {
    case platform::TlsFailure::kNone:
      server = std::move(tls.stream);
      return {};
    case platform::TlsFailure::kUntrusted:
      detail = certificateDetail(tls, "to trust it");
      return kUntrustedCertificate;
    case platform::TlsFailure::kWrongHost:
      tls.error = "it does not name " + std::string(host);
      detail = certificateDetail(tls, "to trust it anyway");
      return kCertificateForOtherHost;
    case platform::TlsFailure::kTimedOut:
      detail = tls.error + " (is the port a plain-text one?)";
      return kTlsTimedOut;
    case platform::TlsFailure::kFailed:
      break;
  }
  detail = tls.error;
  return kTlsFailed;
}

}  // namespace

std::optional<HoldCause> holdOf(std::string_view connectFailure) {
  if (connectFailure == kUntrustedCertificate || connectFailure == kCertificateForOtherHost) {
    return HoldCause::kCertificate;
  }
  for (const std::string_view unreachable :
       {kNotResolved, kNotConnected, kConnectTimedOut, kTlsTimedOut, kTlsFailed}) {
    if (connectFailure == unreachable) {
      return HoldCause::kUnreachable;
    }
  }
  return std::nullopt;
}

bool isCertificateFailure(std::string_view failure) {
  return failure == kUntrustedCertificate || failure == kCertificateForOtherHost;
}

std::string_view connectServer(Relay& relay, std::unique_ptr<platform::ByteStream>& server,
                               std::string& detail) {
  const ServerAddress endpoint = parseServerAddress(relay.serverText.view(), relay.upstreamKind);
  if (!endpoint.problem.empty()) {
    detail = endpoint.problem;
    return "the server text cannot be used";
  }
  platform::Connection connection = platform::connectTcp(std::string(endpoint.host), endpoint.port);
  relay.serverAddress.assign(connection.address);
  relay.serverPort = endpoint.port;
  switch (connection.failure) {
    case platform::ConnectFailure::kNone:
      break;
    case platform::ConnectFailure::kNotResolved:
      // The resolver's words differ from one system to the next; the log
      // keeps the one plain reason.
      return kNotResolved;
    case platform::ConnectFailure::kNoSocket:
      detail = connection.error;
      return "cannot create the server socket";
    case platform::ConnectFailure::kNotConnected:
      detail = connection.error;
      return kNotConnected;
    case platform::ConnectFailure::kTimedOut:
      detail = connection.error;
      return kConnectTimedOut;
  }
  server = std::move(connection.stream);
  if (endpoint.tls()) {
    if (const std::string_view failure = startTls(relay, endpoint.host, server, detail);
        !failure.empty()) {
      return failure;
    }
  }
  relay.serverSocket = server->handle();
  return {};
}

std::string serverName(const Relay& relay) {
  const ServerAddress address = parseServerAddress(relay.serverText.view(), relay.upstreamKind);
  if (!address.problem.empty() || address.host.empty()) {
    return "\"" + std::string(relay.serverText.view()) + "\"";
  }
  const bool literal = address.host.find(':') != std::string_view::npos;
  return (literal ? "[" + std::string(address.host) + "]" : std::string(address.host)) + ":" +
         std::to_string(address.port);
}

std::string connectFailureWords(std::string_view reason, const std::string& detail) {
  if (reason == kNotConnected && !detail.empty()) {
    std::string words = detail;
    if (words[0] >= 'A' && words[0] <= 'Z' &&
        (words.size() < 2 || words[1] < 'A' || words[1] > 'Z')) {
      words[0] = static_cast<char>(words[0] - 'A' + 'a');
    }
    return words;
  }
  if (reason == kNotResolved) {
    return "the server name does not resolve";
  }
  return detail.empty() ? std::string(reason) : std::string(reason) + ": " + detail;
}

}  // namespace quayside
