#include "relay/registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace quayside {
namespace {

TEST(Registry, KeepsRegistrationOrderAndUnlinksFromTheMiddle) {
  auto first = std::make_unique<Relay>();
  auto second = std::make_unique<Relay>();
  auto third = std::make_unique<Relay>();
  registerRelay(*first);
  registerRelay(*second);
  registerRelay(*third);
  unregisterRelay(*second);
  EXPECT_EQ(registeredRelays(), (std::vector<const Relay*>{first.get(), third.get()}));

  unregisterRelay(*second);  // not registered any more: nothing changes
  EXPECT_EQ(registeredRelayCount(), 2u);
  unregisterRelay(*first);
  unregisterRelay(*third);
  EXPECT_EQ(registeredRelayCount(), 0u);

  registerRelay(*third);
  EXPECT_EQ(registeredRelays(), (std::vector<const Relay*>{third.get()}));
  unregisterRelay(*third);
}

TEST(Registry, ConcurrentRegistrationsAllLand) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::vector<std::unique_ptr<Relay>> relays;
  for (int i = 0; i < kThreads; ++i) {
    relays.push_back(std::make_unique<Relay>());
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&relays, i] {
      for (int round = 0; round < kRounds; ++round) {
        registerRelay(*relays[static_cast<std::size_t>(i)]);
        unregisterRelay(*relays[static_cast<std::size_t>(i)]);
      }
      registerRelay(*relays[static_cast<std::size_t>(i)]);
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(registeredRelayCount(), static_cast<std::size_t>(kThreads));
  for (auto& relay : relays) {
    unregisterRelay(*relay);
  }
  EXPECT_EQ(registeredRelayCount(), 0u);
}

}  // namespace
}  // namespace quayside
