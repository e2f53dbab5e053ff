#!/usr/bin/env bash
# Installs what cross-building Quayside for Windows and testing it under wine
# needs on Debian 12 (beside scripts/setup-debian.sh, which the end-to-end
# run also needs). Packages already present are left alone; run as root (or
# with sudo).
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix  # the compilers (posix threads)
  binutils-mingw-w64-x86-64                                # windres, ld
  mingw-w64-x86-64-dev                                     # Win32 headers and libraries
  googletest                                               # GoogleTest sources, built for Windows
  wine wine64                                              # runs the tests and the daemon
  zip nsis                                                 # scripts/package-windows.sh: the zip and the installer
  xvfb xdotool                                             # the window smoke test (skipped without them)
)

"$(dirname "$0")/install-missing.sh" "${packages[@]}"
