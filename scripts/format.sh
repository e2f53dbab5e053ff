#!/usr/bin/env bash
# Applies the repository's .clang-format (clang-format 14: other versions
# lay code out differently) to the tracked C++ files, or to the files given.
# Usage: scripts/format.sh [--check] [FILE...]
#   --check  change nothing; list the files that differ and fail if any do
set -euo pipefail
cd "$(dirname "$0")/.."

check=0
if [ "${1:-}" = --check ]; then
  check=1
  shift
fi

format=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$format" ]; then
  echo "clang-format not found: run scripts/setup-debian.sh" >&2
  exit 2
fi
if ! "$format" --version | grep -q 'version 14\.'; then
  echo "$format is not clang-format 14: $("$format" --version)" >&2
  exit 2
fi

files=("$@")
if ((${#files[@]} == 0)); then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.cc' '*.h' '*.hpp')
fi

if ((check == 0)); then
  "$format" -i --style=file -- "${files[@]}"
  exit 0
fi

differ=()
for file in "${files[@]}"; do
  "$format" --style=file -- "$file" | cmp -s - "$file" || differ+=("$file")
done
if ((${#differ[@]})); then
  echo "These files are not formatted with .clang-format:" >&2
  printf '  %s\n' "${differ[@]}" >&2
  echo "Fix: scripts/format.sh ${differ[*]}" >&2
  echo "     (scripts/format.sh alone formats every tracked C++ file)" >&2
  exit 1
fi
echo "Format check passed (${#files[@]} files)."
