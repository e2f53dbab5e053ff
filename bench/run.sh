#!/usr/bin/env bash
# Whole-path benchmark of Quayside, one command:
#
#   bench/run.sh [--quick]
#
# Builds quayside-daemon and quayside-bench optimised (RelWithDebInfo) in
# build/bench, then runs them. A scripted NMDC client and a scripted IRC
# server talk over loopback (127.0.0.1 only) four ways, interleaved:
# straight to each other ("direct"), through socat (a byte relay that
# translates nothing), through quayside-daemon (which translates every
# line) and through quayside-daemon to the server over TLS ("tls": ircs://,
# a certificate made at run time and pinned by its fingerprint). It prints a
# table of:
#   - chat-line latency each way, median and p99, in microseconds;
#   - lines per second for a burst of 10,000 chat lines each way;
#   - with 500 logged-in idle relays: the daemon's CPU seconds per idle
#     second, its wake-ups per second and its resident memory per relay;
#   - with 50 relays each in 16 rooms of 1,000 members (a 200-byte topic,
#     10-byte nicks), beside 100 relays without rooms in the same daemon:
#     the resident memory a relay in the rooms takes above an idle one (the
#     last 50 without rooms give that; the first 50 warm the allocator up),
#     and the daemon's CPU and wake-ups while they all do nothing;
#   - with 100 sessions on a Bridge with linger=30 whose clients left, each
#     then sent 1,100 channel lines of about 250 bytes (more than its kept
#     lines hold; a PING's answer shows each took them in): the daemon's
#     resident memory in all and per session, and its CPU and wake-ups
#     while they linger;
#   - a client re-attaching to a session that kept 1,000 lines: from its
#     $MyINFO (the server answering the session's NAMES) to the last
#     replayed line, in milliseconds, median of 5;
# and whether each goal is met: median latency no higher than socat's, p99
# under 2 ms, TLS adding at most 20 us to the median latency, bursts at
# least half of socat's rate, no CPU and no wake-ups while idle, at most
# 80 KiB resident per idle relay, at most 512 KiB more for a relay in the
# rooms, and none of them costing CPU or wake-ups while idle, the 100
# lingering sessions under 40 MiB in all, costing no CPU or wake-ups, and
# the re-attach's replay under 100 ms. The Bridges run with pace=off, so
# pacing towards IRC never shapes a measurement.
#
# Everything runs on one CPU (taskset), the last one: on a small virtual
# machine a wake-up that crosses CPUs can cost tens of microseconds, and
# where the scheduler puts each thread changes from run to run, so unpinned
# medians of one binary differ twofold between runs. QUAYSIDE_BENCH_CPUS
# names other CPUs (taskset's list), or "all" to measure unpinned.
#
# Needs cmake, ninja, a C++20 compiler and socat (apt-get install socat).
# The first run builds (a minute or two); the measurement itself takes
# about twenty-five seconds. --quick is a smaller smoke run of about ten.
set -euo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${QUAYSIDE_BENCH_BUILD_DIR:-$source_dir/build/bench}"

if ! command -v socat >/dev/null 2>&1; then
  echo "bench/run.sh: socat is needed as the baseline (apt-get install socat)" >&2
  exit 1
fi

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUAYSIDE_BUILD_TESTS=OFF -DQUAYSIDE_BUILD_WINDOW=OFF -DQUAYSIDE_BUILD_BENCH=ON >/dev/null
cmake --build "$build_dir" --target quayside-bench quayside-daemon -j 2 >/dev/null

# 500 relays hold about 1,000 descriptors in the daemon and 1,000 here.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

cpus="${QUAYSIDE_BENCH_CPUS:-$(($(nproc) - 1))}"
pin=()
if [ "$cpus" != all ] && command -v taskset >/dev/null 2>&1; then
  pin=(taskset -c "$cpus")
fi
exec timeout 300 "${pin[@]}" "$build_dir/bench/quayside-bench" \
  --daemon "$build_dir/app/quayside-daemon" "$@"
