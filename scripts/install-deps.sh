#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need,
# and only those that are missing (so a prepared machine does no network I/O).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libssl-dev zlib1g-dev libisal-dev libzstd-dev libsodium-dev libgtest-dev
  openssl ca-certificates
  # Real peers for the tests and benchmarks: archivers, servers, fuzzing.
  tar libarchive-tools pigz gzip python3 nginx-light curl
  # Signing keys and signatures for the signed-bundle tests.
  signify-openbsd
  clang libclang-rt-14-dev
  # clang 16: the first clang whose std::expected (libstdc++ 12) holds
  # non-trivial types, which the HTTP parsers' fuzz targets need.
  clang-16 libclang-rt-16-dev
  util-linux iproute2 mandoc procps time e2fsprogs
  # Installation checks: man(1) renders the manual pages, systemd-analyze
  # verifies the unit.
  man-db systemd
  # promtool checks the metrics file against the exposition format.
  prometheus
  # The servers, caches, balancers and forward proxy the end-to-end tests
  # publish through; the tests run each with a configuration of their own.
  apache2 apache2-utils lighttpd lighttpd-mod-deflate lighttpd-mod-openssl caddy varnish
  haproxy squid
  # casync writes the chunk indexes and stores the chunked-payload tests and
  # the bench publish.
  casync
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
  $SUDO apt-get update -qq
  # Server packages start their system service on installation; the tests
  # never use those, so a policy that forbids starting any service holds
  # while apt runs (unless the machine has one of its own already).
  policy=/usr/sbin/policy-rc.d
  own_policy=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    own_policy=yes
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  if [ -n "$own_policy" ]; then $SUDO rm -f "$policy"; fi
fi
