#pragma once

#include "translate/output.h"

#include <optional>
#include <string_view>

namespace quayside {

// CTCP: a message text led by 0x01 is a request, "\x01COMMAND argument\x01"
// (the closing 0x01 is often left off). Actions show as "/me ..." on the DC
// side, the way DC clients write them; VERSION and PING are answered; every
// other request goes unseen, so no 0x01 reaches the DC client.

inline constexpr std::string_view kCtcpAction = "ACTION";

struct CtcpRequest {
  std::string_view command;   // up to the first space
  std::string_view argument;  // after it, up to the closing 0x01
};

// The request in `text`, or nothing when it is not led by 0x01.
std::optional<CtcpRequest> parseCtcp(std::string_view text);

// The action in a DC text led by "/me ": the words after it.
std::optional<std::string_view> meAction(std::string_view text);

// Answers a VERSION or PING request from `sender` with one NOTICE line
// (PING's argument echoed up to a line break or NUL, cut to the 512-byte
// line); other requests, and senders that are no single word, get nothing.
void answerCtcp(RelayOutput& out, std::string_view sender, const CtcpRequest& request);

}  // namespace quayside
