#include "core/random.h"

#include <bit>
#include <chrono>

namespace quayside {
namespace {

// Any fixed bytes serve; a splitmix sequence spreads the table's words well.
constexpr MixingTable makeMixingTable() {
  MixingTable table{};
  std::uint64_t state = 0x51A75DE5ULL;
  for (auto& byte : table) {
    state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    byte = static_cast<std::uint8_t>(z ^ (z >> 31));
  }
  return table;
}

constexpr MixingTable kMixingTable = makeMixingTable();

}  // namespace

const MixingTable& defaultMixingTable() {
  return kMixingTable;
}

std::uint32_t millisecondTicks() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::uint32_t RandomGenerator::next() {
  const std::uint32_t t = ~ticks_();
  std::lock_guard lock(mutex_);
  tickMix_ ^= t;
  std::uint32_t acc = std::rotl(accumulator_, 3);
  const std::uint32_t low = (acc + tickMix_) & 0xFFFFu;  // carry out of 16 bits dropped
  acc = (acc & 0xFFFF0000u) | low;
  const std::size_t i = tickMix_ & 0x1FFFu;
  const std::uint32_t word = static_cast<std::uint32_t>(table_[i]) |
                             static_cast<std::uint32_t>(table_[i + 1]) << 8 |
                             static_cast<std::uint32_t>(table_[i + 2]) << 16 |
                             static_cast<std::uint32_t>(table_[i + 3]) << 24;
  accumulator_ = acc + t + word;
  return accumulator_ ^ tickMix_;
}

std::uint32_t RandomGenerator::accumulator() const {
  std::lock_guard lock(mutex_);
  return accumulator_;
}

std::uint32_t RandomGenerator::tickMix() const {
  std::lock_guard lock(mutex_);
  return tickMix_;
}

std::uint32_t randomWord() {
  static RandomGenerator generator(&millisecondTicks, kMixingTable);
  return generator.next();
}

}  // namespace quayside
