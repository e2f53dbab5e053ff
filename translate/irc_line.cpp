#include "translate/irc_line.h"

#include <algorithm>

namespace quayside {

using std::string_view;

string_view IrcWords::next() {
  if (!more_) {
    return rest_.substr(0, 0);
  }
  if (!rest_.empty() && rest_.front() == ':') {
    trailing_ = true;
    more_ = false;
    const string_view word = rest_.substr(1);
    rest_ = rest_.substr(rest_.size());
    return word;
  }
  const std::size_t space = rest_.find(' ');
  if (space == string_view::npos) {
    more_ = false;
    const string_view word = rest_;
    rest_ = rest_.substr(rest_.size());
    return word;
  }
  const string_view word = rest_.substr(0, space);
  rest_.remove_prefix(space + 1);
  return word;
}

IrcLine::IrcLine(string_view bytes) {
  const std::size_t nul = bytes.find('\0');
  cut_ = nul != string_view::npos;
  bytes_ = bytes.substr(0, nul);
  // Where the part at `at` ends, and where the next one starts (one space on).
  std::size_t at = 0;
  const auto wordAt = [&](std::size_t from) {
    const std::size_t end = bytes_.find(' ', from);
    const std::size_t stop = end == string_view::npos ? bytes_.size() : end;
    at = end == string_view::npos ? bytes_.size() : end + 1;
    return bytes_.substr(from, stop - from);
  };
  if (bytes_.starts_with('@')) {
    tags_ = wordAt(1);
  }
  if (at < bytes_.size() && bytes_[at] == ':') {
    hasSource_ = true;
    source_ = wordAt(at + 1);
    const std::size_t bang = source_.find('!');
    const std::size_t atSign = source_.find('@');
    nick_ = source_.substr(0, std::min(bang, atSign));
    if (bang != string_view::npos) {
      userHost_ = source_.substr(bang + 1);
      user_ = source_.substr(bang + 1, atSign < bang ? string_view::npos : atSign - bang - 1);
    }
    if (atSign != string_view::npos && (bang == string_view::npos || atSign > bang)) {
      host_ = source_.substr(atSign + 1);
    }
  }
  commandAt_ = std::min(at, bytes_.size());
  const std::size_t commandEnd = bytes_.find(' ', commandAt_);
  command_ = bytes_.substr(
      commandAt_, commandEnd == string_view::npos ? string_view::npos : commandEnd - commandAt_);
  if (command_.size() == 3 && command_.find_first_not_of("0123456789") == string_view::npos) {
    numeric_ = (command_[0] - '0') * 100 + (command_[1] - '0') * 10 + (command_[2] - '0');
  }
  if (commandEnd == string_view::npos) {
    return;
  }
  IrcWords words(bytes_.substr(commandEnd + 1));
  while (!words.done() && count_ + 1 < kMostParameters) {
    parameters_[count_++] = words.next();
  }
  trailing_ = words.trailing();
  if (!words.done()) {
    string_view last = words.rest();
    trailing_ = last.starts_with(':');
    parameters_[count_++] = trailing_ ? last.substr(1) : last;
  }
}

std::optional<std::size_t> IrcLine::tag(string_view key, std::span<char> value) const {
  string_view rest = tags_;
  while (!rest.empty()) {
    const std::size_t semicolon = rest.find(';');
    const string_view entry = rest.substr(0, semicolon);
    rest = semicolon == string_view::npos ? string_view() : rest.substr(semicolon + 1);
    const std::size_t equals = entry.find('=');
    if (entry.substr(0, equals) != key || entry.empty()) {
      continue;
    }
    return equals == string_view::npos ? 0 : unescapeTagValue(entry.substr(equals + 1), value);
  }
  return std::nullopt;
}

string_view IrcLine::middle(std::size_t i) const {
  if (i >= count_ || (trailing_ && i + 1 == count_)) {
    return bytes_.substr(bytes_.size());
  }
  return parameters_[i];
}

string_view IrcLine::rest(std::size_t i) const {
  if (i >= count_) {
    return bytes_.substr(bytes_.size());
  }
  const auto from = static_cast<std::size_t>(parameters_[i].data() - bytes_.data());
  return bytes_.substr(from);
}

string_view IrcLine::textAfter(std::size_t words) const {
  if (words < count_) {
    return rest(words);
  }
  return trailing_ ? parameters_[count_ - 1] : bytes_.substr(bytes_.size());
}

IrcWords IrcLine::wordsFrom(std::size_t i) const {
  if (i >= count_) {
    return IrcWords();
  }
  const auto from = static_cast<std::size_t>(parameters_[i].data() - bytes_.data());
  // A trailing parameter starts at its ':'.
  return IrcWords(bytes_.substr(trailing_ && i + 1 == count_ ? from - 1 : from));
}

std::size_t unescapeTagValue(string_view raw, std::span<char> out) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < raw.size() && written < out.size(); ++i) {
    char byte = raw[i];
    if (byte == '\\') {
      if (++i == raw.size()) {
        break;  // a lone '\' at the end
      }
      switch (raw[i]) {
        case ':':
          byte = ';';
          break;
        case 's':
          byte = ' ';
          break;
        case 'r':
          byte = '\r';
          break;
        case 'n':
          byte = '\n';
          break;
        default:
          byte = raw[i];  // "\\" and any unknown escape: the byte itself
      }
    }
    out[written++] = byte;
  }
  return written;
}

}  // namespace quayside
