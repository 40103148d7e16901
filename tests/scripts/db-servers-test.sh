#!/usr/bin/env bash
# The test command's safety net: a database server that cannot start fails `db-servers.sh start` at once,
# with that server's own log and nothing left running or lying about; and a database test whose server is
# not configured fails where servers are required (the test command, CI) but skips on a developer's machine.
#
#   db-servers-test.sh SOURCE_DIR TEST_DB_EXECUTABLE
set -uo pipefail
src=${1:?source folder}
test_db=${2:?test_db executable}
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# --- a server that cannot start ------------------------------------------------------------------------
fake=$(mktemp -d /tmp/dabrix-fakebin.XXXXXX)
trap 'rm -rf "$fake"' EXIT
cat >"$fake/mariadb-install-db" <<'FAKE'
#!/bin/sh
echo "fake installer: cannot create the system tables (disk says no)"
exit 1
FAKE
chmod +x "$fake/mariadb-install-db"
before=$(ls -d /tmp/dabrix-db.* 2>/dev/null | sort)
out=$(PATH="$fake:$PATH" bash "$src/scripts/db-servers.sh" start 2>"$fake/err")
status=$?
after=$(ls -d /tmp/dabrix-db.* 2>/dev/null | sort)
[ "$status" -ne 0 ] || fail "start succeeded with a broken MariaDB installer"
[ -z "$out" ] || fail "start printed exports although it failed: $out"
grep -q "cannot create the system tables (disk says no)" "$fake/err" || fail "the installer's own log was not shown: $(cat "$fake/err")"
grep -q "mariadb-install-db failed to start" "$fake/err" || fail "no heading names the failed server: $(cat "$fake/err")"
[ "$before" = "$after" ] || fail "a server folder was left behind: $(comm -13 <(echo "$before") <(echo "$after"))"
# The PostgreSQL server started before MariaDB failed must be gone again.
for d in $(comm -13 <(echo "$before") <(echo "$after")); do
  pgrep -f -- "$d/pg/data" >/dev/null && fail "PostgreSQL of $d still runs"
done

# --- a database test without its server ----------------------------------------------------------------
filter='*ConnectionDb.TransactionsCommitRollBackAndCloseRollsBack/PostgreSQL*'
env -u DABRIX_PG_CONN -u DABRIX_REQUIRE_SERVERS -u CI "$test_db" --gtest_filter="$filter" >"$fake/skip" 2>&1 \
  || fail "without servers required, a missing server must skip: $(tail -5 "$fake/skip")"
grep -q "SKIPPED" "$fake/skip" || fail "the test did not skip: $(tail -5 "$fake/skip")"
grep -q "1 test" "$fake/skip" || fail "the filter matched no test: $(tail -5 "$fake/skip")"
for required in DABRIX_REQUIRE_SERVERS=1 CI=true; do
  if env -u DABRIX_PG_CONN -u DABRIX_REQUIRE_SERVERS -u CI "$required" "$test_db" --gtest_filter="$filter" \
       >"$fake/req" 2>&1; then
    fail "with $required a missing server must fail the test"
  fi
  grep -q "DABRIX_PG_CONN is not set, but this run requires its database server" "$fake/req" \
    || fail "with $required the failure does not say why: $(tail -5 "$fake/req")"
done

if [ "$failures" -eq 0 ]; then echo "db-servers-test: all checks passed"; fi
exit $((failures > 0))
