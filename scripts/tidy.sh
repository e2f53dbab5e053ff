#!/usr/bin/env bash
# Runs clang-tidy (14, with the repository's .clang-tidy) over the product code,
# two files at a time, using a build folder's compile_commands.json; files
# unchanged since a clean check are skipped (scripts/tidy_files.py).
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
  # grep stops itself (-m1): with "| head", pipefail took grep's SIGPIPE for a failure.
  compiler=$(grep -m1 -o '"command": "[^ ]*' "$build/compile_commands.json" | cut -d'"' -f4)
  extra=(--target=x86_64-w64-mingw32 -nostdinc++)
  # The compiler's own C++ header folders, in its order.
  while read -r folder; do
    case "$folder" in */c++|*/c++/*) extra+=("-isystem$folder") ;; esac
  done < <(echo | "$compiler" -xc++ -E -v - 2>&1 | sed -n '/^#include <...>/,/^End of search/p')
fi
# A file whose last check was clean is not checked again while nothing it
# is made of changed (tidy_files.py says what counts): a clone rechecks only
# what differs. QUAYSIDE_NO_TIDY_CACHE=1 checks every file.
cache=${XDG_CACHE_HOME:-$HOME/.cache}/quayside/tidy
if [ -n "${QUAYSIDE_NO_TIDY_CACHE:-}" ]; then cache=""; fi
python3 scripts/tidy_files.py "$root" "$build" "$product" "$tidy" "$cache" "${extra[@]}"
echo "clang-tidy found nothing."
