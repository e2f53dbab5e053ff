#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quayside {

// The parameters of an IRC line read one at a time from raw text that starts
// where a parameter starts: a word up to the next space, or, led by ':', the
// rest of the text (the trailing parameter). Each space ends a parameter, so
// a run of spaces leaves empty parameters between, and a text that ends in a
// space has an empty last one.
class IrcWords {
 public:
  IrcWords() = default;
  explicit IrcWords(std::string_view text) : rest_(text), more_(true) {}

  bool done() const { return !more_; }
  // The next parameter, or empty once done.
  std::string_view next();
  // Whether the parameter next() returned last was the trailing one.
  bool trailing() const { return trailing_; }
  // The raw text from the next parameter on.
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
  bool more_ = false;
  bool trailing_ = false;
};

// One IRC line from the server (its CR LF excluded) parsed once, as views
// into the received bytes: nothing is allocated and nothing is copied.
//   [@tags ][:source ]command[ parameter]...[ :trailing]
// A NUL ends the line where it stands. Every part is read with one space
// after it; a line of any length is taken.
class IrcLine {
 public:
  // RFC 1459's limit: the 15th parameter is the rest of the line, spaces and
  // all (a leading ':' dropped), as servers read it.
  static constexpr std::size_t kMostParameters = 15;

  IrcLine() = default;
  explicit IrcLine(std::string_view bytes);

  // The line up to its first NUL; cut() says whether a NUL stopped it.
  std::string_view bytes() const { return bytes_; }
  bool cut() const { return cut_; }

  // The tag section as received, without its '@'; empty without one.
  std::string_view tags() const { return tags_; }
  // The value of the tag `key` unescaped into `value` (cut to its size):
  // its length, 0 for a tag without a value, nothing when the line has no
  // such tag.
  std::optional<std::size_t> tag(std::string_view key, std::span<char> value) const;

  bool hasSource() const { return hasSource_; }
  // The source without its ':', and its parts: nick!user@host.
  std::string_view source() const { return source_; }
  std::string_view nick() const { return nick_; }
  std::string_view user() const { return user_; }
  std::string_view host() const { return host_; }
  // What follows the nick's '!': "user@host"; empty without a '!'.
  std::string_view userHost() const { return userHost_; }

  std::string_view command() const { return command_; }
  // Three digits: a numeric reply, and its number.
  bool isNumeric() const { return numeric_ >= 0; }
  std::uint16_t numeric() const { return isNumeric() ? static_cast<std::uint16_t>(numeric_) : 0; }

  std::size_t parameterCount() const { return count_; }
  // Parameter i (from 0), or empty past the last.
  std::string_view parameter(std::size_t i) const { return i < count_ ? parameters_[i] : ""; }
  // Whether the last parameter was led by ':'.
  bool hasTrailing() const { return trailing_; }
  // Parameter i when it is a middle word, empty when it is the trailing one
  // (or past the last): where a word is expected, a ':' text names nothing.
  std::string_view middle(std::size_t i) const;
  // The raw text from parameter i to the end of the line (a trailing
  // parameter's ':' not included); empty past the last.
  std::string_view rest(std::size_t i) const;
  // The text after `words` middle words: rest(words), or the trailing
  // parameter when it comes sooner.
  std::string_view textAfter(std::size_t words) const;
  // The parameters from i on, past the 15th too (the MODE arguments, 005).
  IrcWords wordsFrom(std::size_t i) const;
  // The raw line from its command word on: what is shown of a line no rule
  // reads, never its tags.
  std::string_view fromCommand() const { return bytes_.substr(commandAt_); }

 private:
  std::string_view bytes_;
  std::string_view tags_;
  std::string_view source_;
  std::string_view nick_;
  std::string_view user_;
  std::string_view host_;
  std::string_view userHost_;
  std::string_view command_;
  std::array<std::string_view, kMostParameters> parameters_{};
  std::size_t commandAt_ = 0;
  std::size_t count_ = 0;
  int numeric_ = -1;
  bool cut_ = false;
  bool hasSource_ = false;
  bool trailing_ = false;
};

// Writes the tag value `raw` without its escapes (message-tags: "\:" is ';',
// "\s" a space, "\\" a backslash, "\r" and "\n" CR and LF, any other "\x"
// is x, a lone '\' at the end is dropped) into `out`, at most its size;
// returns the count written.
std::size_t unescapeTagValue(std::string_view raw, std::span<char> out);

}  // namespace quayside
