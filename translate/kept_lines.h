#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quayside {

// At most this many lines are kept for a client that returns...
inline constexpr std::size_t kKeptLineLimit = 1000;
// ...and at most this much memory, as KeptLines::memory() counts it.
inline constexpr std::size_t kKeptByteLimit = std::size_t{256} * 1024;

// One line said while no client was attached: a whole NMDC command (no '|')
// and the Unix time it was said.
struct KeptLine {
  std::string command;
  std::int64_t at = 0;
};

// What a lingering session keeps for the client that attaches next, oldest
// first. Past either limit the oldest lines go, and are counted. Holds no
// memory until the first line and again once cleared.
class KeptLines {
 public:
  void keep(std::string_view command, std::int64_t at);

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // The index-th oldest line (index < size()).
  const KeptLine& operator[](std::size_t index) const;
  // Lines that went to make room (or never fitted), since the last clear().
  std::uint64_t dropped() const { return dropped_; }
  // The memory held: the line array as allocated, and each line's bytes
  // with what its allocation costs beyond them. Never above kKeptByteLimit.
  std::size_t memory() const;

  void clear();

 private:
  std::size_t capacityFor(std::size_t lines) const;
  void dropOldest();

  // A ring of at most kKeptLineLimit slots; the lines are the `count_`
  // slots from `first_` on, wrapping.
  std::vector<KeptLine> ring_;
  std::size_t first_ = 0;
  std::size_t count_ = 0;
  std::size_t lineBytes_ = 0;
  std::uint64_t dropped_ = 0;
};

}  // namespace quayside
