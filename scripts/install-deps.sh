#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, from Debian 12's packages.
# Run as root; safe to run again (apt-get skips what is already there).
set -euo pipefail

packages=(
  build-essential cmake
  libboost-filesystem1.74-dev libboost-iostreams1.74-dev libboost-system1.74-dev
  libboost1.74-dev zlib1g-dev
  libgtest-dev googletest
  gzip strace util-linux procps
  # The reader's --since row counts back from now under TZ=Europe/Berlin.
  tzdata
  # The install tests: CPack's .deb (dpkg-shlibdeps, file), the manual page
  # lint (man, groff) and the check of the example units (systemd-analyze).
  dpkg-dev file man-db groff-base systemd
  # The fleet test: two nginx under wrk, syslog-ng shippers with http(), and
  # ClickHouse (logger, from bsdutils, is always there).
  nginx-light wrk syslog-ng-core syslog-ng-mod-http clickhouse-server clickhouse-client
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# A fresh machine has no package lists; an install from stale ones can fail.
if ! apt-get install -y --no-install-recommends "${missing[@]}"; then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
