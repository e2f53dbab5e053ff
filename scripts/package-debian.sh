#!/usr/bin/env bash
# Builds the Debian packages (quayside, the window; quayside-daemon, the
# daemon and its systemd user unit) from the tracked files with the Debian
# tools, into build/debian/, and checks them with lintian (errors fail).
# The version is the one of project(VERSION) in CMakeLists.txt: the
# changelog is written here from it.
# Usage: scripts/package-debian.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh

version=$(sed -n 's/^project(Quayside VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no project(Quayside VERSION ...) in CMakeLists.txt" >&2; exit 1; }
out=build/debian
stage=$out/quayside-$version
rm -rf "$out"
mkdir -p "$stage"
# The tracked files as they are in the working tree, without build output.
git ls-files -z | xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
  tar --null -T - -cf - | tar -xf - -C "$stage"
cat >"$stage/debian/changelog" <<CHANGES
quayside ($version) unstable; urgency=medium

  * Quayside $version.

 -- The Quayside authors <quayside@example.org>  $(date -R -d "@$(git log -1 --format=%ct)")
CHANGES

(cd "$stage" && DEB_BUILD_OPTIONS="parallel=$(nproc) nocheck" \
  dpkg-buildpackage -b -us -uc --no-sign >../build.log 2>&1) || {
  tail -n 60 "$out/build.log" >&2
  echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
}
echo "=== lintian ==="
lintian --fail-on error "$out"/*.changes
ls "$out"/*.deb
