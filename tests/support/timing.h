#pragma once

#include <chrono>

namespace quayside::testing {

using Clock = std::chrono::steady_clock;

// A generous bound for anything a test waits for; it fails instead of
// hanging when the bound passes.
inline constexpr std::chrono::seconds kReadTimeout{5};

}  // namespace quayside::testing
