#!/usr/bin/env bash
# Renders data/quayside.svg into ui/win32/quayside.ico (the Windows program's
# icon) at the sizes Windows asks for. Needs rsvg-convert (librsvg2-bin) and
# icotool (icoutils).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for size in 16 20 24 32 40 48 64 256; do
  rsvg-convert -w "$size" -h "$size" "$root/data/quayside.svg" -o "$work/$size.png"
done
# The 256-pixel image stays PNG-compressed, as Windows expects.
icotool -c -o "$root/ui/win32/quayside.ico" "$work"/{16,20,24,32,40,48,64}.png -r "$work/256.png"
