#pragma once

#include <string_view>

namespace quayside {

// Where the translations send what they compose. Each call is one message
// group: production sends the whole buffer with one send (looping on partial
// writes); tests record every call separately.
class RelayOutput {
 public:
  virtual ~RelayOutput() = default;

  virtual void toClient(std::string_view bytes) = 0;
  virtual void toServer(std::string_view bytes) = 0;

  // Closes the hub client's connection (the client was kicked); the relay
  // thread then ends the Relay without closing that socket again.
  virtual void closeClient() = 0;
};

}  // namespace quayside
