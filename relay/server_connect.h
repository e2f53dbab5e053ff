#pragma once

#include "platform/stream.h"
#include "relay/refusal_holds.h"
#include "relay/relay.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quayside {

// Resolves and connects to the server (TLS for ircs://). Returns why the
// Relay must end, or an empty view when it is connected; `detail` gets the
// system's words. The stream goes to `server`; relay.serverSocket names its
// handle, relay.serverAddress and serverPort where it was reached, and
// relay.serverFingerprint the certificate a TLS server showed.
std::string_view connectServer(Relay& relay, std::unique_ptr<platform::ByteStream>& server,
                               std::string& detail);

// Which failures of connectServer hold every nick's retries off: the
// server's answer, not this machine's.
std::optional<HoldCause> holdOf(std::string_view connectFailure);

// Whether connectServer failed on the server's certificate.
bool isCertificateFailure(std::string_view failure);

// The server as the user knows it: host and port, or the text itself when
// it names no server.
std::string serverName(const Relay& relay);

// A failure to connect in the user's words: the system's own reason alone
// where ours only says the connect failed ("connection refused").
std::string connectFailureWords(std::string_view reason, const std::string& detail);

}  // namespace quayside
