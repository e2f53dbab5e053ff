#!/usr/bin/env bash
# Builds the Windows programs (windows preset, mingw-w64) and packs them with
# the README, the licence and the third-party notices into
# build/quayside-VERSION-windows-x86_64.zip, and into a per-user installer,
# build/quayside-VERSION-windows-x86_64-setup.exe (NSIS).
# Usage: scripts/package-windows.sh
#   QUAYSIDE_PACKAGE_BUILD: a windows build folder to take the programs from
#   (default build/windows-package, built here without the tests)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup-windows.sh

# The tests are not part of the package: a build without them needs no wine.
build=${QUAYSIDE_PACKAGE_BUILD:-build/windows-package}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset windows -B "$build" -DQUAYSIDE_BUILD_TESTS=OFF >/dev/null
fi
targets=(quayside quayside-daemon)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

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
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
sed 's/$/\r/' THIRD-PARTY-NOTICES >"$stage/THIRD-PARTY-NOTICES.txt"
(cd "$build" && zip -q -r -X "$root/build/$name.zip" "$name")
makensis -V2 -DVERSION="$version" -DSTAGE="$root/$stage" -DICON="$root/ui/win32/quayside.ico" \
  -DOUTFILE="$root/build/$name-setup.exe" packaging/windows-installer.nsi
echo "build/$name.zip:"
unzip -l "build/$name.zip"
echo "build/$name-setup.exe"
