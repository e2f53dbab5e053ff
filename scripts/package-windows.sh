#!/usr/bin/env bash
# Builds the Windows programs (windows preset, mingw-w64) and packs them with
# the README (and the licence, when the repository has one) into
# build/quayside-VERSION-windows-x86_64.zip.
# Usage: scripts/package-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup-windows.sh

# The tests are not part of the package: a build without them needs no wine.
build=build/windows-package
cmake --preset windows -B "$build" -DQUAYSIDE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target quayside-daemon
targets=(quayside-daemon)
# The window, once the Windows build has one.
if cmake --build "$build" -- -t targets all | grep -q '^quayside: '; then
  cmake --build "$build" -j "$(nproc)" --target quayside
  targets+=(quayside)
fi

version=$(sed -n 's/^project(Quayside VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=quayside-$version-windows-x86_64
stage=$build/$name
rm -rf "$stage" "build/$name.zip"
mkdir -p "$stage"
for target in "${targets[@]}"; do
  cp "$build/app/$target.exe" "$stage/"
done
x86_64-w64-mingw32-strip "$stage"/*.exe
# Windows editors want CR LF.
sed 's/$/\r/' README.md >"$stage/README.md"
for licence in LICENSE LICENSE.md LICENSE.txt COPYING; do
  if [ -f "$licence" ]; then
    sed 's/$/\r/' "$licence" >"$stage/$licence.txt"
  fi
done
(cd "$build" && zip -q -r -X "$root/build/$name.zip" "$name")
echo "build/$name.zip:"
unzip -l "build/$name.zip"
