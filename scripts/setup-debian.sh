#!/usr/bin/env bash
# Installs what building, running and testing Quayside needs on Debian 12.
# Packages already present are left alone; run as root (or with sudo).
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config    # build
  ccache                               # scripts/test-all.sh's compiler cache
  clang                                # the second compiler (clang preset)
  libclang-rt-14-dev                   # libFuzzer and clang's sanitizer runtimes (fuzz preset)
  clang-format clang-tidy              # the format and tidy checks
  libssl-dev                           # TLS to IRC servers (OpenSSL)
  ca-certificates                      # the system trust store TLS verifies against
  openssl                              # fingerprints by hand (openssl x509 -fingerprint -sha256)
  libgtest-dev                         # tests
  qt6-base-dev qt6-qpa-plugins        # the window (offscreen platform for its tests)
  ngircd                               # the real IRC server of the end-to-end tests
  inspircd atheme-services             # the IRC server with SASL accounts (login tests)
  eiskaltdcpp-daemon                   # a real DC client (the EiskaltDC++ rooms test)
  socat                                # the plain-relay baseline of the benchmark
  procps                               # ps/pkill used by scripts
  scdoc                                # the man pages, from docs/man/*.scd
  dpkg-dev debhelper fakeroot lintian  # scripts/package-debian.sh: the .deb and its check
  systemd                              # systemd-analyze verify of the user unit
)

"$(dirname "$0")/install-missing.sh" "${packages[@]}"

# ngircd's package starts a system-wide server; the tests start their own.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet ngircd 2>/dev/null; then
  systemctl stop ngircd || true
fi
