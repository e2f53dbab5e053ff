#!/usr/bin/env bash
# Installs what is missing, builds Quayside and starts the window.
# Arguments are passed to the program.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target quayside
exec build/release/app/quayside "$@"
