#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and UBSan, starts the test database
# servers and runs the whole test suite. A server that cannot start fails this command at once; every
# database test must find its server here (DABRIX_REQUIRE_SERVERS), so nothing is skipped for want of one.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=build-asan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDABRIX_SANITIZE=ON
cmake --build "$build" -j "$(nproc)"

# Throwaway PostgreSQL and MariaDB servers on loopback for the database tests; stopped on every way out.
# The assignment (not a bare eval of a command substitution) carries a failed start into set -e.
servers=$(scripts/db-servers.sh start)
eval "$servers"
trap 'scripts/db-servers.sh stop "$DABRIX_DB_DIR"' EXIT

export DABRIX_REQUIRE_SERVERS=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# Every fuzz target for a short while (clang build of its own in build-fuzz), so a parser that starts
# crashing, breaking its properties or taking too long on small inputs fails the suite.
scripts/fuzz.sh 20
