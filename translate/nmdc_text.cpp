#include "translate/nmdc_text.h"

#include "translate/composer.h"

namespace quayside {
namespace {

constexpr std::string_view kDollar = "&#36;";
constexpr std::string_view kPipe = "&#124;";
constexpr std::string_view kAmp = "&amp;";

bool startsWith(std::string_view text, std::size_t i, std::string_view prefix) {
  return text.substr(i, prefix.size()) == prefix;
}

}  // namespace

std::string_view nmdcEscapeFor(std::string_view text, std::size_t i) {
  switch (text[i]) {
    case '$':
      return kDollar;
    case '|':
      return kPipe;
    case '&':
      if (startsWith(text, i, kDollar) || startsWith(text, i, kPipe) || startsWith(text, i, kAmp)) {
        return kAmp;
      }
      return {};
    default:
      return {};
  }
}

std::size_t nmdcUnescape(std::string_view text, char* out, std::size_t capacity) {
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < text.size() && written < capacity) {
    if (text[i] == '&') {
      if (startsWith(text, i, kDollar)) {
        out[written++] = '$';
        i += kDollar.size();
        continue;
      }
      if (startsWith(text, i, kPipe)) {
        out[written++] = '|';
        i += kPipe.size();
        continue;
      }
      if (startsWith(text, i, kAmp)) {
        out[written++] = '&';
        i += kAmp.size();
        continue;
      }
    }
    out[written++] = text[i++];
  }
  return written;
}

namespace {

// The channel up to a line stop (a channel from a hostile settings file
// must not end a line early), after its '#' when it lacks a prefix.
std::string_view channelTarget(Composer& composer, std::string_view channel) {
  channel = channel.substr(0, channel.find_first_of(std::string_view("\r\n\0", 3)));
  if (!channel.empty() && channel.front() != '#' && channel.front() != '&') {
    composer.append('#');
  }
  return channel;
}

}  // namespace

void appendChannelTarget(Composer& composer, std::string_view channel) {
  composer.append(channelTarget(composer, channel));
}

void appendEscapedChannelTarget(Composer& composer, std::string_view channel) {
  composer.appendEscaped(channelTarget(composer, channel));
}

}  // namespace quayside
