#!/usr/bin/env bash
# Makes docs/screenshot.png: the window over three sample Bridges (one with a
# live session, one whose server's certificate was refused, one not
# listening), rendered on Qt's offscreen platform (no display needed).
# Usage: scripts/screenshot.sh [OUTPUT_PNG]   (BUILD_DIR overrides the build folder)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/screenshot}
out=${1:-$root/docs/screenshot.png}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUAYSIDE_BUILD_TESTS=OFF -DQUAYSIDE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target quayside-screenshot -j2

work=/tmp/quayside-screenshot
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
settings=$work/quayside.dat

zeros() { head -c "$1" /dev/zero; }
byte() { printf "\\x$(printf %02x "$1")"; }

# One 1,825-byte Bridge record: enabled, server (512), channel (256), port
# (little-endian), upstream kind 1, client kind 0, reserved, listen socket,
# event number (little-endian), listen address, reserved tail.
record() {
  local enabled=$1 server=$2 channel=$3 port=$4 message=$5
  byte "$enabled"
  printf '%s' "$server"; zeros $((512 - ${#server}))
  printf '%s' "$channel"; zeros $((256 - ${#channel}))
  byte $((port & 255)); byte $((port >> 8))
  byte 1; byte 0
  zeros 1024
  zeros 4
  byte $((message & 255)); byte $((message >> 8)); zeros 2
  zeros 20
}

{
  record 0 "irc://192.0.2.7:6667" "#lobby" 4113 1126
  record 1 "ircs://chat.example.org" "#dc-friends" 4112 1125
  record 1 "irc.example.net" "#harbour" 4111 1124
} >"$settings"

mkdir -p "$(dirname "$out")"
QT_QPA_PLATFORM=offscreen "$build/app/quayside-screenshot" "$settings" "$out"
echo "wrote $out"
