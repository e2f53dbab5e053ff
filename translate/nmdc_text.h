#pragma once

#include <cstddef>
#include <string_view>

namespace quayside {

class Composer;

// Text inside a Relay is held in IRC form. NMDC reserves '$' and '|', so text
// from the hub client arrives escaped and text towards it leaves escaped:
//   '$' <-> "&#36;"   '|' <-> "&#124;"
//   '&' <-> "&amp;"   (escaped only where it begins one of the three escapes,
//                      so the client's unescaping gives the original back)

// The escape that stands for text[i] towards the client, or an empty view
// when that byte goes out as it is.
std::string_view nmdcEscapeFor(std::string_view text, std::size_t i);

// Undoes the client's escaping in one left-to-right pass, writing at most
// `capacity` bytes to `out`; returns the count written. Never longer than
// the input, so `capacity >= text.size()` never cuts.
std::size_t nmdcUnescape(std::string_view text, char* out, std::size_t capacity);

// Appends the channel target: `channel` up to its first CR, LF or NUL, with
// '#' in front unless it is empty or already begins with '#' or '&'.
void appendChannelTarget(Composer& composer, std::string_view channel);
// The same, NMDC-escaped: the hub's name is the channel as it is joined.
void appendEscapedChannelTarget(Composer& composer, std::string_view channel);

}  // namespace quayside
