#!/usr/bin/env bash
# Runs one Windows test program under wine (the windows preset's emulator, for
# test discovery and for every test). Wine now and then fails to start a
# program at all: a test "failed" in 10 ms having printed nothing, quicker
# than wine can load any program. GoogleTest prints before its first test and
# flushes after each line, so a run that printed nothing and failed is wine's
# failure, not the program's, and is tried once more; any other result stands.
# Usage: scripts/wine-test-run.sh PROGRAM.exe [ARGUMENT...]
set -uo pipefail
wine=$(command -v wine || command -v wine64) || { echo "wine is missing" >&2; exit 2; }
output=$(mktemp)
trap 'rm -f "$output"' EXIT
for attempt in 1 2; do
  "$wine" "$@" >"$output" 2>&1 </dev/null
  status=$?
  if [ "$status" -eq 0 ] || [ -s "$output" ] || [ "$attempt" -eq 2 ]; then
    cat "$output"
    exit "$status"
  fi
  echo "wine started nothing (exit code $status): trying once more" >&2
done
