#include "core/random.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

namespace quayside {
namespace {

std::uint32_t fixedTick = 0;
std::uint32_t readFixedTick() {
  return fixedTick;
}

TEST(RandomGenerator, FollowsTheMixingStepsFromZeroState) {
  static const MixingTable zeroTable{};
  RandomGenerator generator(&readFixedTick, zeroTable);
  fixedTick = 4294967294u;
  EXPECT_EQ(generator.next(), 3u);
  EXPECT_EQ(generator.next(), 17u);
  fixedTick = 4294967295u;
  EXPECT_EQ(generator.next(), 136u);
  EXPECT_EQ(generator.accumulator(), 136u);
  EXPECT_EQ(generator.tickMix(), 0u);
}

TEST(RandomGenerator, ReadsTableWordsLittleEndianAtTheTickMixIndex) {
  // tickMix becomes ~tick = 5, so the word at index 5 is added.
  static MixingTable table{};
  table[5] = 0x01;
  table[6] = 0x02;
  table[7] = 0x03;
  table[8] = 0x04;
  RandomGenerator generator(&readFixedTick, table);
  fixedTick = ~5u;
  // accumulator: low half 0 + 5, then + t (5) + 0x04030201.
  EXPECT_EQ(generator.next(), (5u + 5u + 0x04030201u) ^ 5u);
}

TEST(RandomWord, ConcurrentDrawsAllComplete) {
  // Shared by the window and every relay thread; under ThreadSanitizer this
  // also proves the state update is serialised.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) {
        (void)randomWord();
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  std::set<std::uint32_t> words;
  for (int i = 0; i < 64; ++i) {
    words.insert(randomWord());
  }
  EXPECT_GT(words.size(), 32u) << "words should not repeat within a short run";
}

}  // namespace
}  // namespace quayside
