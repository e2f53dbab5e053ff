#pragma once

#include "translate/output.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quayside {

// Composes outgoing bytes at a moving position in a fixed area (one that a
// RelayOutput lends) and never writes past it. The last kTerminatorRoom bytes are
// kept for terminate(), so a command cut short still ends with its own
// terminator ('|' or CR LF) and cannot run into the next one.
class Composer {
 public:
  static constexpr std::size_t kTerminatorRoom = 2;

  Composer() = default;
  explicit Composer(std::span<char> area) : area_(area) {}

  // Starts over in another area.
  void reset(std::span<char> area) {
    area_ = area;
    size_ = 0;
    truncated_ = false;
  }

  // System bytes, copied as they are; cut at the limit.
  void append(std::string_view bytes);
  void append(char byte) { append(std::string_view(&byte, 1)); }
  void appendDecimal(std::uint32_t value);

  // Foreign (IRC) text on its way to the hub client, NMDC-escaped. Only whole
  // escapes are written: at the limit the text is cut before an escape.
  void appendEscaped(std::string_view text);

  // Ends a command or line; always fits (terminator.size() <= kTerminatorRoom).
  void terminate(std::string_view terminator);

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Room left for appends (the terminator room not counted).
  std::size_t room() const { return size_ >= limit() ? 0 : limit() - size_; }
  // Whether some append since the last clear() or rewind() was cut.
  bool truncated() const { return truncated_; }

  std::string_view view() const { return {area_.data(), size_}; }
  char* data() { return area_.data(); }

  // Drops everything written after `mark` (a former size()).
  void rewind(std::size_t mark);
  void clear() { rewind(0); }

 private:
  std::size_t limit() const {
    return area_.size() > kTerminatorRoom ? area_.size() - kTerminatorRoom : 0;
  }

  std::span<char> area_;
  std::size_t size_ = 0;
  bool truncated_ = false;
};

// Collects whole commands (or lines) for one peer into as few groups as fit
// the area: a command that does not fit behind what is held commits the held
// commands first and is composed again on its own. The area is borrowed from
// the output at the first command, so an empty batch costs nothing.
class Batch {
 public:
  Batch(RelayOutput& out, Peer peer) : out_(out), peer_(peer) {}
  ~Batch() { flush(); }

  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  // `compose(Composer&)` writes one whole command including its terminator.
  // It may run twice, so it must not change anything but the composer.
  template <typename Compose>
  void add(Compose&& compose) {
    open();
    const std::size_t mark = composer_.size();
    compose(composer_);
    if (composer_.truncated() && mark > 0) {
      composer_.rewind(mark);
      flush();
      open();
      compose(composer_);
    }
  }

  // Commits what is held, if anything, as one group.
  void flush();

  Composer& composer() { return composer_; }

 private:
  void open();

  Composer composer_;
  RelayOutput& out_;
  Peer peer_;
  bool open_ = false;
};

}  // namespace quayside
