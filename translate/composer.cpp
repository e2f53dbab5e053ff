#include "translate/composer.h"

#include "translate/nmdc_text.h"

#include <cstring>

namespace quayside {

void Composer::append(std::string_view bytes) {
  std::size_t count = bytes.size();
  if (count > room()) {
    count = room();
    truncated_ = true;
  }
  if (count > 0) {
    std::memcpy(area_.data() + size_, bytes.data(), count);
    size_ += count;
  }
}

void Composer::appendDecimal(std::uint32_t value) {
  char digits[10];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (count > room()) {
    truncated_ = true;
    return;  // a cut number would be a different number
  }
  while (count > 0) {
    area_[size_++] = digits[--count];
  }
}

void Composer::appendEscaped(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    // Copy the run that needs no escape in one piece.
    std::size_t run = i;
    while (run < text.size() && nmdcEscapeFor(text, run).empty()) {
      ++run;
    }
    if (run > i) {
      const std::size_t before = size_;
      append(text.substr(i, run - i));
      if (truncated_ && size_ - before < run - i) {
        return;
      }
      i = run;
      continue;
    }
    const std::string_view escape = nmdcEscapeFor(text, i);
    if (escape.size() > room()) {
      truncated_ = true;
      return;
    }
    append(escape);
    ++i;
  }
}

void Composer::terminate(std::string_view terminator) {
  // The terminator room is only ever used here, so it always has space.
  std::size_t count = terminator.size();
  if (count > area_.size() - size_) {
    count = area_.size() - size_;
  }
  if (count > 0) {
    std::memcpy(area_.data() + size_, terminator.data(), count);
    size_ += count;
  }
}

void Composer::rewind(std::size_t mark) {
  if (mark < size_) {
    size_ = mark;
  }
  truncated_ = false;
}

void Batch::open() {
  if (!open_) {
    composer_.reset(out_.area(peer_));
    open_ = true;
  }
}

void Batch::flush() {
  if (open_ && !composer_.empty()) {
    out_.commit(peer_, composer_.size());
  }
  open_ = false;
  composer_.reset({});
}

void RelayOutput::send(Peer peer, std::string_view bytes, std::string_view terminator) {
  // An echo longer than one area (a long paste) goes in several groups,
  // which together are the bytes as given.
  for (std::span<char> part = area(peer);
       !bytes.empty() && !part.empty() && bytes.size() + terminator.size() > part.size();
       part = area(peer)) {
    const std::size_t count = bytes.size() < part.size() ? bytes.size() : part.size();
    std::memcpy(part.data(), bytes.data(), count);
    commit(peer, count);
    bytes.remove_prefix(count);
  }
  Composer composer(area(peer));
  composer.append(bytes);
  composer.terminate(terminator);
  commit(peer, composer.size());
}

}  // namespace quayside
