#!/usr/bin/env bash
# Installs what is missing, checks the format and runs clang-tidy, then builds
# and runs every test four times: a normal build, AddressSanitizer +
# UndefinedBehaviorSanitizer, ThreadSanitizer, and a Clang build; then runs
# each fuzz target for a minute under ASan and UBSan ("fuzz"); then the
# Windows build's tests under wine ("windows", scripts/test-windows.sh).
# Usage: scripts/test-all.sh [preset...]   (default: release asan tsan clang fuzz windows)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh

presets=("$@")
if ((${#presets[@]} == 0)); then presets=(release asan tsan clang fuzz windows); fi

# The cheap checks first, so a stray layout change fails in seconds.
echo "=== format ==="
scripts/format.sh --check
echo "=== clang-tidy ==="
scripts/tidy.sh

jobs=$(nproc)
export QUAYSIDE_REQUIRE_NGIRCD=1  # the end-to-end tests must not skip here
export QUAYSIDE_REQUIRE_INSPIRCD=1  # nor the SASL ones (InspIRCd and Atheme)

for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  if [ "$preset" = fuzz ]; then
    scripts/fuzz.sh "${QUAYSIDE_FUZZ_SECONDS:-60}"
    continue
  fi
  if [ "$preset" = windows ]; then
    scripts/test-windows.sh
    continue
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = tsan ]; then
    # ThreadSanitizer needs a fixed memory layout; some kernels randomise too much.
    setarch "$(uname -m)" -R ctest --preset "$preset" -j "$jobs"
  else
    ctest --preset "$preset" -j "$jobs"
  fi
done
echo "All test runs passed: ${presets[*]}"
