#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run. Safe to run again.
set -euo pipefail

packages=(
  # tool chain
  cmake ninja-build g++ pkg-config git
  # the fuzz targets (scripts/fuzz.sh): clang with libFuzzer and the sanitizer runtimes, the symbolizer
  clang libclang-rt-14-dev llvm
  # tests
  googletest libgtest-dev libgmock-dev python3-olefile util-linux locales-all sqlite3 procps
  # the run benchmark (bench/run-bench.sh) measures with /usr/bin/time
  time
  # storage: compound files
  libgsf-1-dev
  # database access: driver manager and the drivers the tests use
  unixodbc unixodbc-dev libsqliteodbc odbc-postgresql odbc-mariadb
  # the throwaway test servers (scripts/db-servers.sh) and their clients
  postgresql postgresql-client mariadb-server mariadb-client python3
  # stored passwords
  libsodium-dev
  # desktop program
  qt6-base-dev qt6-svg-dev libgl-dev zlib1g-dev
  # the desktop program's tests: offscreen QTest needs nothing more; screenshots under a real X server
  xvfb xauth xdotool imagemagick x11-utils fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# Database server packages would start their system services on install; the tests run their own.
guard=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
  guard=/usr/sbin/policy-rc.d
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$guard" >/dev/null
  $sudo chmod +x "$guard"
  trap '$sudo rm -f "$guard"' EXIT
fi
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
