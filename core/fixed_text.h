#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>

namespace quayside {

// Overwrites `bytes` with zeros through volatile writes, which the compiler
// cannot drop as dead stores.
inline void wipeBytes(std::span<char> bytes) {
  volatile char* at = bytes.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    at[i] = '\0';
  }
}

// Text of at most N - 1 bytes held inline, so a record that holds it needs
// no allocation. Every write is cut to the capacity, and a NUL ends the text
// as it ended the C strings these fields once were.
template <std::size_t N>
class FixedText {
 public:
  static_assert(N >= 1);
  static constexpr std::size_t kMaxLength = N - 1;

  std::string_view view() const { return {bytes_.data(), length_}; }
  bool empty() const { return length_ == 0; }
  std::size_t size() const { return length_; }

  // Holds `text` up to its first NUL, cut to `limit` bytes (at most kMaxLength).
  void assign(std::string_view text, std::size_t limit = kMaxLength) {
    text = text.substr(0, text.find('\0'));
    length_ = text.size() < clampLimit(limit) ? text.size() : clampLimit(limit);
    if (length_ > 0) {
      std::memcpy(bytes_.data(), text.data(), length_);
    }
  }

  // Lets `write(std::span<char>)` fill at most `limit` bytes in place and
  // return how many it wrote; the text then ends at the first NUL written.
  template <typename Write>
  void write(std::size_t limit, Write&& write) {
    const std::size_t written = write(std::span<char>(bytes_.data(), clampLimit(limit)));
    const std::string_view text(bytes_.data(),
                                written < clampLimit(limit) ? written : clampLimit(limit));
    length_ = text.substr(0, text.find('\0')).size();
  }

  void clear() { length_ = 0; }

  // Overwrites every byte, for texts that must not outlive their use (a
  // password).
  void wipe() {
    wipeBytes(bytes_);
    length_ = 0;
  }

 private:
  static constexpr std::size_t clampLimit(std::size_t limit) {
    return limit < kMaxLength ? limit : kMaxLength;
  }

  std::array<char, kMaxLength> bytes_{};
  std::size_t length_ = 0;
};

// Fixed, NUL-padded fields of on-disk records. fieldText never reads past
// the field, even when it holds no NUL.
template <std::size_t N>
std::string_view fieldText(const std::array<char, N>& field) {
  std::size_t length = 0;
  while (length < N && field[length] != '\0') {
    ++length;
  }
  return {field.data(), length};
}

// Copies `text` into a fixed field, cut to `limit` characters (at most N - 1),
// and NUL-terminates it.
template <std::size_t N>
void setFieldText(std::array<char, N>& field, std::string_view text, std::size_t limit = N - 1) {
  if (limit > N - 1) {
    limit = N - 1;
  }
  const std::size_t length = text.size() < limit ? text.size() : limit;
  if (length > 0) {
    std::memcpy(field.data(), text.data(), length);
  }
  field[length] = '\0';
}

}  // namespace quayside
