#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace quayside {

// 8 KiB plus 3 so that a 32-bit word can be read at every index 0..8191.
inline constexpr std::size_t kMixingTableSize = 8195;
using MixingTable = std::array<std::uint8_t, kMixingTableSize>;

// The fixed table used by the process-wide generator.
const MixingTable& defaultMixingTable();

// Millisecond count that wraps modulo 2^32.
std::uint32_t millisecondTicks();

// The tick-mixing generator behind `randomWord`. The tick source and the
// table come in from outside so tests can pin both. Safe to share between
// threads: every draw updates both state words under one lock.
class RandomGenerator {
 public:
  using TickSource = std::uint32_t (*)();

  RandomGenerator(TickSource ticks, const MixingTable& table) : ticks_(ticks), table_(table) {}

  std::uint32_t next();

  std::uint32_t accumulator() const;
  std::uint32_t tickMix() const;

 private:
  TickSource ticks_;
  const MixingTable& table_;
  mutable std::mutex mutex_;
  std::uint32_t accumulator_ = 0;  // guarded by mutex_
  std::uint32_t tickMix_ = 0;      // guarded by mutex_
};

// Next word of the process-wide generator (zero state at start, never seeded).
std::uint32_t randomWord();

// Where code that must stay deterministic in tests takes its random words from.
using RandomSource = std::function<std::uint32_t()>;

}  // namespace quayside
