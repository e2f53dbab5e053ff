#!/usr/bin/env bash
# The Windows build's tests: installs what is missing, cross-builds the
# windows preset (mingw-w64), runs clang-tidy over the Windows-only files and
# every unit test under wine, then runs the end-to-end tests (the Linux test
# program with its real ngircd, InspIRCd, Atheme and EiskaltDC++) against
# quayside-daemon.exe running under wine, and builds and tries the zip and
# the installer (scripts/package-windows.sh).
# Usage: scripts/test-windows.sh   (WINEPREFIX: default build/wine-prefix)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup-debian.sh
scripts/setup-windows.sh

jobs=$(nproc)
export WINEPREFIX=${WINEPREFIX:-$root/build/wine-prefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko install prompts
mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "=== wine prefix $WINEPREFIX ==="
  wineboot -i
  wineserver -w  # the one wineboot started, which would refuse the next line
fi
# One wineserver for the whole run (otherwise every test program starts its
# own, which takes seconds); it is stopped when the script ends. One that
# already runs for this prefix is used as it is.
wineserver -p 2>/dev/null || true
trap 'wineserver -k 2>/dev/null || true' EXIT
# Wine's own background programs start with the first program and stay as
# long as the server: start them here, away from any output a build step
# waits on (test discovery would otherwise wait for them until it times out).
wine cmd /c exit </dev/null >/dev/null 2>&1

echo "=== windows: build ==="
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
echo "=== windows: clang-tidy over the Windows-only files ==="
scripts/tidy.sh build/windows
echo "=== windows: unit tests under wine ==="
ctest --preset windows -j "$jobs"

# The end-to-end program is the Linux one, from the release build.
echo "=== windows: end-to-end tests against quayside-daemon.exe under wine ==="
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target e2e_tests
export QUAYSIDE_DAEMON_COMMAND="wine $root/build/windows/app/quayside-daemon.exe"
export QUAYSIDE_DAEMON_ROOT="Z:"  # wine's drive for the POSIX root, for --settings paths
export QUAYSIDE_REQUIRE_NGIRCD=1
export QUAYSIDE_REQUIRE_INSPIRCD=${QUAYSIDE_REQUIRE_INSPIRCD:-1}
export QUAYSIDE_REQUIRE_EISKALTDCPP=${QUAYSIDE_REQUIRE_EISKALTDCPP:-1}
ctest --preset release -j "$jobs" -L e2e
# The release artifacts from the programs just tested: the zip, and the
# installer installed silently into a folder of the prefix and removed again
# (the uninstaller run in place, so that it finishes before the check).
echo "=== windows: package and installer ==="
QUAYSIDE_PACKAGE_BUILD=build/windows scripts/package-windows.sh >/dev/null
setup=$(ls build/quayside-*-windows-x86_64-setup.exe)
target="$WINEPREFIX/drive_c/quayside-install-test"
rm -rf "$target"
wine "$setup" /S '/D=C:\quayside-install-test'
expected=(quayside.exe quayside-daemon.exe uninstall.exe README.md LICENSE.txt
  THIRD-PARTY-NOTICES.txt)
zip=${setup%-setup.exe}.zip
for file in "${expected[@]}"; do
  test -f "$target/$file" || { echo "the installer did not install $file" >&2; exit 1; }
  [ "$file" = uninstall.exe ] || unzip -l "$zip" "*/$file" >/dev/null ||
    { echo "$zip lacks $file" >&2; exit 1; }
done
grep -q 'MIT License' "$target/LICENSE.txt" || { echo "LICENSE.txt is not the licence" >&2; exit 1; }
# The version the programs report is the one the package is named for.
version=$(sed -n 's/^project(Quayside VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
wine "$target/quayside-daemon.exe" --version </dev/null | grep -q "^quayside-daemon $version" ||
  { echo "quayside-daemon.exe --version does not say $version" >&2; exit 1; }
wine 'C:\quayside-install-test\uninstall.exe' /S '_?=C:\quayside-install-test'
if [ -e "$target/quayside.exe" ]; then
  echo "the uninstaller left quayside.exe" >&2
  exit 1
fi
rm -rf "$target"
echo "Windows tests passed"
