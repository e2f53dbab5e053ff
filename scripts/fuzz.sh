#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: Clang with ASan and UBSan,
# optimised) and runs each for a bounded time, starting from the committed
# seeds in fuzz/corpus/<target>. What the fuzzer learns goes to
# build/fuzz/corpus, so the committed seeds stay as they are; an input that
# fails is kept in build/fuzz/findings and ends the run with a failure.
# QUAYSIDE_FUZZ_PRESET=asan takes the targets from the asan build instead,
# which builds them beside its tests (CI: no build of its own for a short run).
# Usage: scripts/fuzz.sh [SECONDS [TARGET...]]   (default: 60 seconds, every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(client_stream_fuzzer server_stream_fuzzer settings_fuzzer options_fuzzer pacer_fuzzer
    address_fuzzer)
fi

preset=${QUAYSIDE_FUZZ_PRESET:-fuzz}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2 --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p build/fuzz/findings
for target in "${targets[@]}"; do
  # Stream inputs reach over-long messages through their fill receives, so
  # they need not be long themselves; each stream has its protocol's words.
  dict=()
  case $target in
    options_fuzzer | address_fuzzer) max_len=512 ;;
    client_stream_fuzzer) max_len=4096 dict=(-dict=fuzz/dict/nmdc.dict) ;;
    server_stream_fuzzer) max_len=4096 dict=(-dict=fuzz/dict/irc.dict) ;;
    pacer_fuzzer) max_len=1024 ;;
    *) max_len=4096 ;;
  esac
  work=build/fuzz/corpus/$target
  mkdir -p "$work"
  echo "=== $target: $seconds s ==="
  started=$SECONDS
  build/"$preset"/fuzz/"$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 "${dict[@]}" \
    -print_final_stats=1 -artifact_prefix=build/fuzz/findings/"$target"- \
    "$work" fuzz/corpus/"$target" 2>build/fuzz/"$target".log ||
    { tail -n 40 build/fuzz/"$target".log; exit 1; }
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' build/fuzz/"$target".log)
  echo "$target: $runs runs in $((SECONDS - started)) s, no finding"
done
