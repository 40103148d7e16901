#!/usr/bin/env bash
# Run speed of dabrix-cli: copies a generated SQLite table into SQLite, PostgreSQL and MariaDB, insert-only
# and as upserts, and prints rows/s and peak memory of each job.
#
#   bench/run-bench.sh [ROWS] [UPSERT_ROWS]
#
# ROWS (default 1,000,000) is the size of the source table; UPSERT_ROWS (default ROWS/10) is how many of
# its rows the two upsert jobs write. For every destination:
#   insert-only         ROWS rows into an empty table ("Always insert new record")
#   upsert-all-exist    the first UPSERT_ROWS rows again over the filled table: each is found by its id
#                       and edited (one text column gets a fixed value, so the edit is visible)
#   upsert-none-exist   the same rows after they were deleted, the other rows staying: each is looked for
#                       by its id, not found, and inserted
# When pgloader is installed it loads the same source table into PostgreSQL too, for comparison.
#
# The release programs are built into $DABRIX_BUILD_DIR (default build-rel). PostgreSQL and MariaDB come
# from DABRIX_PG_CONN / DABRIX_MARIADB_CONN (ODBC connection strings) when set; otherwise throwaway
# servers are started with scripts/db-servers.sh and stopped again on exit. A destination without a
# server is skipped. Each job runs as `dabrix-cli run DOC --no-progress --error-action abort` under
# /usr/bin/time; a job that fails, or whose destination does not hold what it should afterwards, is
# reported as FAILED instead of being timed.
#
# Environment: DABRIX_BUILD_DIR, DABRIX_BENCH_JOBS (build parallelism, default 2), DABRIX_BENCH_KEEP=1
# keeps the work folder (databases, definitions, logs), DABRIX_BENCH_TXN (transaction size, 10000),
# DABRIX_BENCH_DESTINATIONS (which destinations to run, default "sqlite pg mariadb"; without pg and
# mariadb no servers are started), DABRIX_BENCH_RUNS (default 1): how many rounds of a destination's
# three jobs run, each round from a new table, and of pgloader; a job's line gives the median time of its
# runs (of an even number, the slower of the middle two) and the largest peak memory of them.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ROWS=${1:-1000000}
UPSERT_ROWS=${2:-$((ROWS / 10))}
TXN=${DABRIX_BENCH_TXN:-10000}
RUNS=${DABRIX_BENCH_RUNS:-1}
BUILD=${DABRIX_BUILD_DIR:-$ROOT/build-rel}
DESTINATIONS=" ${DABRIX_BENCH_DESTINATIONS:-sqlite pg mariadb} "
wanted() { [[ $DESTINATIONS == *" $1 "* ]]; }
TABLE=bench_dst

die() { echo "run-bench: $*" >&2; exit 1; }
note() { echo "run-bench: $*" >&2; }

[[ $ROWS =~ ^[1-9][0-9]*$ ]] || die "ROWS must be a positive whole number, got \"$ROWS\""
[[ $RUNS =~ ^[1-9][0-9]*$ ]] || die "DABRIX_BENCH_RUNS must be a positive whole number, got \"$RUNS\""
[[ $UPSERT_ROWS =~ ^[1-9][0-9]*$ ]] || die "UPSERT_ROWS must be a positive whole number, got \"$UPSERT_ROWS\""
((UPSERT_ROWS <= ROWS)) || die "UPSERT_ROWS ($UPSERT_ROWS) cannot exceed ROWS ($ROWS)"
[ -x /usr/bin/time ] || die "/usr/bin/time not found (Debian package time)"
command -v sqlite3 >/dev/null || die "sqlite3 not found (Debian package sqlite3)"

# ---------------------------------------------------------------------------------------------------
# Build

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDABRIX_TESTS=OFF >&2
fi
cmake --build "$BUILD" -j "${DABRIX_BENCH_JOBS:-2}" --target dabrix-cli DabrixPlugin >&2
CLI=$BUILD/bin/dabrix-cli
[ -x "$CLI" ] || die "$CLI was not built"

# ---------------------------------------------------------------------------------------------------
# Work folder and servers

WORK=$(mktemp -d /tmp/dabrix-bench.XXXXXX)
STARTED_SERVERS=""
cleanup() {
  if [ -n "$STARTED_SERVERS" ]; then "$ROOT/scripts/db-servers.sh" stop "$STARTED_SERVERS" || true; fi
  if [ "${DABRIX_BENCH_KEEP:-}" = 1 ]; then note "work folder kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
# The program's own settings stay out of the measurement, and the user's are left alone.
export XDG_CONFIG_HOME=$WORK/config

if { wanted pg && [ -z "${DABRIX_PG_CONN:-}" ]; } || { wanted mariadb && [ -z "${DABRIX_MARIADB_CONN:-}" ]; }; then
  note "starting throwaway PostgreSQL and MariaDB servers"
  if servers=$("$ROOT/scripts/db-servers.sh" start); then
    # Values given by the caller win; only the missing ones come from the new servers.
    given_pg=${DABRIX_PG_CONN:-} given_my=${DABRIX_MARIADB_CONN:-}
    eval "$servers"
    STARTED_SERVERS=$DABRIX_DB_DIR
    [ -n "$given_pg" ] && DABRIX_PG_CONN=$given_pg
    [ -n "$given_my" ] && DABRIX_MARIADB_CONN=$given_my
  else
    note "servers could not be started; destinations without a connection are skipped"
  fi
fi

# ---------------------------------------------------------------------------------------------------
# Helpers

# sql CONNECTION TEXT: runs one statement through the program itself, so every database is reached the
# same way; prints what the statement returns.
sql() {
  "$CLI" query "$1" "$2" || die "statement failed on ${1%%;*}: $2"
}

# scalar CONNECTION SELECT: the single value of a one-row, one-column query.
scalar() {
  sql "$1" "$2" | sed -n 2p
}

# conn_value CONNECTION KEY...: the value of the first of the keys (any letter case) that the ODBC
# connection string holds.
conn_value() {
  local conn=$1 key part name
  local -a parts
  shift
  IFS=';' read -ra parts <<<"$conn"
  for key in "$@"; do
    for part in "${parts[@]}"; do
      name=${part%%=*}
      if [[ $part == *=* && ${name,,} == "${key,,}" ]]; then
        echo "${part#*=}"
        return 0
      fi
    done
  done
  return 1
}

# The definition format keeps blanks as byte 0xF0 and ends lines with CR LF.
stored() { printf '%s' "$1" | LC_ALL=C sed 's/ /\xF0/g'; }

# write_definition FILE SOURCE_SQL DEST_CONNECTION MODE: a definition that copies the source query into
# the destination table. MODE insert: every record inserted. MODE upsert: found by id, edited when
# found (id itself is not rewritten), inserted when not; the label column gets the fixed value "edited"
# either way, which shows afterwards which rows the job wrote.
write_definition() {
  local file=$1 source_sql=$2 dest=$3 mode=$4 node=0
  local -a path=()
  section() {  # section LEVEL CLASS TITLE: starts node number $node at LEVEL
    local level=$1 number dir p
    printf -v number '%05d' "$node"
    path=("${path[@]:0:level}" "$number")
    dir=QXD
    for p in "${path[@]}"; do dir+="\\.\\$p"; done
    CURRENT=$dir
    printf '[%s]\r\nDataClassName=%s\r\nTitle=%s\r\n' "$dir" "$2" "$(stored "$3")"
    node=$((node + 1))
  }
  sub() { printf '[%s\\%s]\r\n' "$CURRENT" "$1"; }
  value() { printf '%s=%s\r\n' "$1" "$(stored "$2")"; }
  field() {  # field NAME [KEY VALUE]...
    local name=$1
    shift
    section 4 TQXDDestFieldData "$name"
    value DestFieldname "$name"
    while (($#)); do value "$1" "$2"; shift 2; done
  }
  {
    printf '[GeneralSettings]\r\nDataFormatGUID={C1CE532E-C8F3-4cc4-915D-B90F532B3B19}\r\n[QXD]\r\n'
    section 0 TQXDSourceConnectionData "Source"
    sub ConnectProperties
    value ConnectionString "Driver=SQLite3;Database=$SOURCE_DB"
    section 1 TQXDSourceTableData "src"
    sub RecordsetProperties
    value SQL "$source_sql"
    section 2 TQXDDestConnectionData "Destination"
    value TransactionSize "$TXN"
    sub ConnectProperties
    value ConnectionString "$dest"
    section 3 TQXDDestRSData "$TABLE"
    if [ "$mode" = insert ]; then
      value AlwaysInsertNewRecord 1
    else
      value AlwaysInsertNewRecord 0
      value EditRecordIfExists 1
      value InsertRecordIfNotExists 1
    fi
    sub RecordsetProperties
    value SQL "SELECT * FROM $TABLE"
    if [ "$mode" = insert ]; then
      field id SourceRecordsetFieldname id
      field label SourceRecordsetFieldname label
    else
      field id SourceRecordsetFieldname id LocateWithValue 1 AssignValueWhenEditing 0
      field label FieldValueorigin 2 FixedValue edited
    fi
    field name SourceRecordsetFieldname name
    field amount SourceRecordsetFieldname amount
    field created_at SourceRecordsetFieldname created_at
    field note SourceRecordsetFieldname note
  } >"$file"
}

# create_table KIND CONNECTION: an empty destination table in the database's own types.
create_table() {
  local kind=$1 conn=$2 columns
  case $kind in
    sqlite) columns="id INTEGER PRIMARY KEY, name VARCHAR(60), label VARCHAR(60), amount DOUBLE,
                     created_at TIMESTAMP, note VARCHAR(60)" ;;
    pg) columns="id BIGINT PRIMARY KEY, name VARCHAR(60), label VARCHAR(60), amount DOUBLE PRECISION,
                 created_at TIMESTAMP, note VARCHAR(60)" ;;
    mariadb) columns="id BIGINT PRIMARY KEY, name VARCHAR(60), label VARCHAR(60), amount DOUBLE,
                      created_at DATETIME, note VARCHAR(60)" ;;
  esac
  sql "$conn" "DROP TABLE IF EXISTS $TABLE" >/dev/null
  sql "$conn" "CREATE TABLE $TABLE ($columns)" >/dev/null
}

RESULTS=()
declare -A RATE=()
# record JOB ROWS SECONDS RSS_KB | record JOB ROWS FAILED|SKIPPED: adds a line to the result table and
# keeps the rate of a timed job in RATE[JOB].
record() {
  local job=$1 rows=$2
  if [ "$3" = FAILED ] || [ "$3" = SKIPPED ]; then
    RESULTS+=("$(printf '| %-38s | %10s | %8s | %10s | %11s |' "$job" "$rows" "$3" "" "")")
    return
  fi
  local seconds=$3 rss_kb=$4
  RATE[$job]=$(awk -v r="$rows" -v s="$seconds" 'BEGIN { if (s < 0.01) s = 0.01; printf "%d", r / s }')
  RESULTS+=("$(printf '| %-38s | %10s | %8.2f | %10s | %11.1f |' "$job" "$rows" "$seconds" "${RATE[$job]}" \
    "$(awk -v k="$rss_kb" 'BEGIN { print k / 1024 }')")")
}

# timed LOG COMMAND...: runs COMMAND under /usr/bin/time; sets SECONDS_TAKEN and RSS_KB; fails with
# the command's exit code.
timed() {
  local log=$1 rc=0
  shift
  /usr/bin/time -f '%e %M' -o "$WORK/time.txt" "$@" >"$log" 2>&1 </dev/null || rc=$?
  if ((rc != 0)); then return "$rc"; fi
  read -r SECONDS_TAKEN RSS_KB <"$WORK/time.txt"
}

# measure NAME ROWS CHECK COMMAND...: runs COMMAND once and keeps its time and peak memory for the job's
# line (report_job); CHECK, a command line for eval, must succeed afterwards (it verifies the destination,
# and says what is wrong when it does not). A job that failed once is reported as FAILED and not run again.
declare -A TIMES=() PEAK_KB=() JOB_ROWS=() JOB_FAILED=()
JOBS=()
measure() {
  local name=$1 rows=$2 check=$3 log="$WORK/$1.log" rc=0 why peak
  shift 3
  if [ -z "${JOB_ROWS[$name]:-}" ]; then JOBS+=("$name"); JOB_ROWS[$name]=$rows; PEAK_KB[$name]=0; fi
  [ -n "${JOB_FAILED[$name]:-}" ] && return 0
  note "$name: $rows rows"
  timed "$log" "$@" || rc=$?
  if ((rc != 0)); then
    note "$name FAILED (exit code $rc); the end of its output (all of it is kept with DABRIX_BENCH_KEEP=1):"
    tail -n 15 "$log" | sed 's/^/    /' >&2
    JOB_FAILED[$name]=1
    return 0
  fi
  if ! why=$(eval "$check"); then
    note "$name FAILED its check: $why"
    JOB_FAILED[$name]=1
    return 0
  fi
  TIMES[$name]+=" $SECONDS_TAKEN"
  peak=${PEAK_KB[$name]}
  ((RSS_KB > peak)) && PEAK_KB[$name]=$RSS_KB
  return 0
}

# report_job NAME: the job's line, from the median of its runs (of an even number, the slower of the middle
# two) and the largest peak memory of them.
report_job() {
  local name=$1 median
  local -a runs
  if [ -n "${JOB_FAILED[$name]:-}" ]; then
    record "$name" "${JOB_ROWS[$name]}" FAILED
    return
  fi
  read -ra runs <<<"${TIMES[$name]}"
  median=$(printf '%s\n' "${runs[@]}" | sort -g | sed -n "$((${#runs[@]} / 2 + 1))p")
  record "$name" "${JOB_ROWS[$name]}" "$median" "${PEAK_KB[$name]}"
}

# run_job NAME DOC ROWS CHECK: one definition run by the program, as measure.
run_job() {
  measure "$1" "$3" "$4" "$CLI" run "$2" --no-progress --error-action abort
}

# expect CONNECTION SELECT WANTED: fails, saying what it found, when the query's value differs.
expect() {
  local got
  got=$(scalar "$1" "$2")
  [ "$got" = "$3" ] || { echo "$2 gave $got, expected $3"; return 1; }
}

check_insert() {
  expect "$1" "SELECT COUNT(*) AS n FROM $TABLE" "$ROWS" &&
    expect "$1" "SELECT COUNT(*) AS n FROM $TABLE WHERE note IS NULL" "$SOURCE_NULLS" &&
    expect "$1" "SELECT COUNT(*) AS n FROM $TABLE WHERE label = 'edited'" 0
}
check_upsert() {
  expect "$1" "SELECT COUNT(*) AS n FROM $TABLE" "$ROWS" &&
    expect "$1" "SELECT COUNT(*) AS n FROM $TABLE WHERE label = 'edited'" "$UPSERT_ROWS" &&
    expect "$1" "SELECT COUNT(*) AS n FROM $TABLE WHERE label = 'edited' AND id > $UPSERT_ROWS" 0
}

# bench_destination LABEL KIND CONNECTION: RUNS rounds of the three jobs, each round from a new table.
bench_destination() {
  local label=$1 kind=$2 conn=$3 q round
  printf -v q '%q' "$conn"
  write_definition "$WORK/$kind-insert.qxt" "SELECT id, name, label, amount, created_at, note FROM src ORDER BY id" \
    "$conn" insert
  write_definition "$WORK/$kind-upsert.qxt" \
    "SELECT id, name, label, amount, created_at, note FROM src WHERE id <= $UPSERT_ROWS ORDER BY id" "$conn" upsert
  for ((round = 1; round <= RUNS; round++)); do
    ((RUNS == 1)) || note "$label: round $round of $RUNS"
    create_table "$kind" "$conn"
    run_job "SQLite -> $label insert-only" "$WORK/$kind-insert.qxt" "$ROWS" "check_insert $q"
    run_job "SQLite -> $label upsert-all-exist" "$WORK/$kind-upsert.qxt" "$UPSERT_ROWS" "check_upsert $q"
    # The rows to upsert are removed again; the rest of the table stays, so every lookup searches the
    # full index and finds nothing.
    sql "$conn" "DELETE FROM $TABLE WHERE id <= $UPSERT_ROWS" >/dev/null
    run_job "SQLite -> $label upsert-none-exist" "$WORK/$kind-upsert.qxt" "$UPSERT_ROWS" "check_upsert $q"
  done
  for job in insert-only upsert-all-exist upsert-none-exist; do report_job "SQLite -> $label $job"; done
}

# ---------------------------------------------------------------------------------------------------
# Source

SOURCE_DB=$WORK/source.db
note "creating the source table: $ROWS rows"
sqlite3 "$SOURCE_DB" <<SQL
CREATE TABLE src (id INTEGER PRIMARY KEY, name VARCHAR(60) NOT NULL, label VARCHAR(60) NOT NULL,
                  amount DOUBLE NOT NULL, created_at TIMESTAMP NOT NULL, note VARCHAR(60));
INSERT INTO src
  WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $ROWS)
  SELECT i, 'Customer ' || i, 'group-' || (i % 997), i * 1.25 + 0.01,
         datetime(1600000000 + i * 37, 'unixepoch'),
         CASE WHEN i % 5 = 0 THEN NULL ELSE 'note ' || (i % 13) END
  FROM n;
SQL
SOURCE_NULLS=$(sqlite3 "$SOURCE_DB" "SELECT COUNT(*) FROM src WHERE note IS NULL")

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------------------------------------------
# Jobs

if wanted sqlite; then
  bench_destination SQLite sqlite "Driver=SQLite3;Database=$WORK/dest.db"
else
  for j in insert-only upsert-all-exist upsert-none-exist; do record "SQLite -> SQLite $j" - SKIPPED; done
fi

if wanted pg && [ -n "${DABRIX_PG_CONN:-}" ]; then
  bench_destination PostgreSQL pg "$DABRIX_PG_CONN"
else
  for j in insert-only upsert-all-exist upsert-none-exist; do record "SQLite -> PostgreSQL $j" - SKIPPED; done
fi

if wanted mariadb && [ -n "${DABRIX_MARIADB_CONN:-}" ]; then
  bench_destination MariaDB mariadb "$DABRIX_MARIADB_CONN"
else
  for j in insert-only upsert-all-exist upsert-none-exist; do record "SQLite -> MariaDB $j" - SKIPPED; done
fi

# pgloader reads the SQLite file itself and loads with COPY into a table it creates.
PGLOADER_LINE=""
if wanted pg && command -v pgloader >/dev/null && [ -n "${DABRIX_PG_CONN:-}" ]; then
  pg=$DABRIX_PG_CONN
  host=$(conn_value "$pg" Servername Server Host) || host=127.0.0.1
  port=$(conn_value "$pg" Port) || port=5432
  db=$(conn_value "$pg" Database) || die "no Database in DABRIX_PG_CONN"
  user=$(conn_value "$pg" Username UID User) || user=$USER
  pass=$(conn_value "$pg" Password PWD) || pass=""
  name="pgloader SQLite -> PostgreSQL"
  printf -v q '%q' "$pg"
  for ((round = 1; round <= RUNS; round++)); do
    sql "$pg" "DROP TABLE IF EXISTS src" >/dev/null
    measure "$name" "$ROWS" "expect $q 'SELECT COUNT(*) AS n FROM src' $ROWS" \
      pgloader --root-dir "$WORK/pgloader" "sqlite://$SOURCE_DB" "pgsql://$user:$pass@$host:$port/$db"
  done
  report_job "$name"
  ours=${RATE["SQLite -> PostgreSQL insert-only"]:-} theirs=${RATE[$name]:-}
  if [ -n "$ours" ] && [ -n "$theirs" ]; then
    PGLOADER_LINE=$(awk -v a="$ours" -v b="$theirs" \
      'BEGIN { printf "SQLite -> PostgreSQL insert-only, rows/s of dabrix-cli / rows/s of pgloader: %.2f", a / b }')
  fi
  sql "$pg" "DROP TABLE IF EXISTS src" >/dev/null
fi

# ---------------------------------------------------------------------------------------------------
# Report

echo
echo "Rows: $ROWS, upsert rows: $UPSERT_ROWS, transaction size: $TXN, runs of each job: $RUNS (the median shown)"
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'),"\
" load average before $LOAD_BEFORE, after $(cut -d' ' -f1-3 /proc/loadavg)"
echo
printf '| %-38s | %10s | %8s | %10s | %11s |\n' job rows seconds rows/s "peak RSS MB"
echo "|----------------------------------------|-----------:|---------:|-----------:|------------:|"
printf '%s\n' "${RESULTS[@]}"
[ -z "$PGLOADER_LINE" ] || { echo; echo "$PGLOADER_LINE"; }
