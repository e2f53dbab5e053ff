#!/usr/bin/env bash
# Runs clang-tidy (14, with the repository's .clang-tidy) over the product code,
# two files at a time, using a build folder's compile_commands.json.
# Usage: scripts/tidy.sh [BUILD_DIR]   (default: build/clang, configured if needed)
# Given the mingw-w64 build (build/windows), it checks the Windows-only files
# (the rest is checked by the native run), as clang sees them for that target
# with mingw's C++ library.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=${1:-build/clang}
if [ $# -eq 0 ]; then
  # Configuring again keeps the compile commands in step with moved or new files.
  cmake --preset clang >/dev/null
elif [ ! -f "$build/compile_commands.json" ]; then
  echo "$build/compile_commands.json not found: configure that build first" >&2
  exit 2
fi

tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$tidy" ]; then
  echo "clang-tidy not found: run scripts/setup-debian.sh" >&2
  exit 2
fi

# Product code only: tests, benchmarks and generated files (moc) are left out.
escaped_root=$(printf '%s' "$root" | sed 's/[][\.*^$+?(){}|/]/\\&/g')
product="^$escaped_root/(core|platform|relay|translate|bridge|ui|app|scripts)/"
extra=()
if grep -q -- '-w64-mingw32-' "$build/compile_commands.json"; then
  product="^$escaped_root/(platform/windows/|ui/win32/|app/[^/]*win32)[^/]*\.cpp$"
  compiler=$(grep -o '"command": "[^ ]*' "$build/compile_commands.json" | head -n1 | cut -d'"' -f4)
  extra=(--target=x86_64-w64-mingw32 -nostdinc++)
  # The compiler's own C++ header folders, in its order.
  while read -r folder; do
    case "$folder" in */c++|*/c++/*) extra+=("-isystem$folder") ;; esac
  done < <(echo | "$compiler" -xc++ -E -v - 2>&1 | sed -n '/^#include <...>/,/^End of search/p')
fi
extra_args=()
for arg in "${extra[@]}"; do extra_args+=("-extra-arg=$arg"); done

# clang-tidy's colours and per-file counts of suppressed system-header warnings
# only clutter a log.
tidy_log() { sed -e 's/\x1b\[[0-9;]*m//g' -e '/^[0-9]* warnings\? generated\.$/d'; }

runner=$(command -v run-clang-tidy-14 || command -v run-clang-tidy || true)
if [ -n "$runner" ]; then
  "$runner" -clang-tidy-binary "$tidy" -p "$build" -j 2 -quiet "${extra_args[@]}" "$product" 2>&1 | tidy_log
else
  grep -o '"file": "[^"]*"' "$build/compile_commands.json" | cut -d'"' -f4 | grep -E "$product" |
    xargs -r -P 2 -n 1 "$tidy" -p "$build" --quiet "${extra_args[@]}" 2>&1 | tidy_log
fi
echo "clang-tidy found nothing."
