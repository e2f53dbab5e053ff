#!/usr/bin/env bash
# Installs what is missing, checks the format and runs clang-tidy, then builds
# and runs every test three times: a normal build (GCC), Clang with
# AddressSanitizer + UndefinedBehaviorSanitizer (which also compiles everything
# with Clang's warnings as errors, and builds the fuzz targets), and
# ThreadSanitizer; then replays each fuzz target's committed corpus under ASan
# and UBSan and explores for a short while ("fuzz"; QUAYSIDE_FUZZ_SECONDS,
# default 5; scripts/fuzz.sh alone explores for a minute, optimised); builds
# the Debian packages, checks them with lintian, installs them, tries them and
# removes them again ("debian"); then the Windows build's tests under wine
# ("windows", scripts/test-windows.sh).
# Usage: scripts/test-all.sh [preset...]   (default: release asan tsan fuzz debian windows)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
started=$SECONDS
stage() { echo "=== $1 (at $(((SECONDS - started) / 60))m$(((SECONDS - started) % 60))s) ==="; }

presets=("$@")
if ((${#presets[@]} == 0)); then presets=(release asan tsan fuzz debian windows); fi

# The cheap checks first, so a stray layout change fails in seconds.
stage format
scripts/format.sh --check
stage clang-tidy
scripts/tidy.sh

jobs=$(nproc)
# Compiler cache across runs and clones (keyed on paths relative to the
# clone), for build folders configured from here on: a CI machine rebuilds
# only what changed. QUAYSIDE_NO_CCACHE=1 builds without it.
if [ -z "${QUAYSIDE_NO_CCACHE:-}" ]; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD
  # Debug information names the folder it was built in, so ccache keys on
  # it and a clone elsewhere would miss every time; mapped to ".", the
  # folder no longer differs between clones.
  export CXXFLAGS="-ffile-prefix-map=$PWD=.${CXXFLAGS:+ $CXXFLAGS}"
fi
export QUAYSIDE_REQUIRE_NGIRCD=1  # the end-to-end tests must not skip here
export QUAYSIDE_REQUIRE_INSPIRCD=1  # nor the SASL ones (InspIRCd and Atheme)
export QUAYSIDE_REQUIRE_EISKALTDCPP=1  # nor the one with a real DC client

for preset in "${presets[@]}"; do
  stage "$preset"
  if [ "$preset" = fuzz ]; then
    # The targets come from the asan build, which has them beside its tests.
    QUAYSIDE_FUZZ_PRESET=asan scripts/fuzz.sh "${QUAYSIDE_FUZZ_SECONDS:-5}"
    continue
  fi
  if [ "$preset" = debian ]; then
    scripts/package-debian.sh
    debs=(build/debian/quayside_*.deb build/debian/quayside-daemon_*.deb)
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${debs[@]/#/./}" >/dev/null
    version=$(sed -n 's/^project(Quayside VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    /usr/bin/quayside-daemon --version | grep "^quayside-daemon $version\$" ||
      { echo "the installed quayside-daemon does not say $version" >&2; exit 1; }
    /usr/bin/quayside --version | grep -q "^quayside $version\$" ||
      { echo "the installed quayside does not say $version" >&2; exit 1; }
    # verify only warns about a key it cannot parse: any output is a failure.
    runtime=$(mktemp -d)
    unit=/usr/lib/systemd/user/quayside-daemon.service
    complaints=$(XDG_RUNTIME_DIR=$runtime systemd-analyze --user verify "$unit" 2>&1) || true
    rm -rf "$runtime"
    if [ -n "$complaints" ] || [ ! -f "$unit" ]; then
      echo "systemd-analyze verify $unit: ${complaints:-missing}" >&2
      exit 1
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq quayside quayside-daemon >/dev/null
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
echo "All test runs passed: ${presets[*]} in $(((SECONDS - started) / 60))m$(((SECONDS - started) % 60))s"
