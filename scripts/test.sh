#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and UBSan, starts the test database
# servers and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=build-asan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDABRIX_SANITIZE=ON
cmake --build "$build" -j "$(nproc)"

# Throwaway PostgreSQL and MariaDB servers on loopback for the database tests; stopped on every way out.
eval "$(scripts/db-servers.sh start)"
trap 'scripts/db-servers.sh stop "$DABRIX_DB_DIR"' EXIT

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
