#!/usr/bin/env bash
# Throwaway database servers for the tests: a PostgreSQL and a MariaDB instance in a temporary folder,
# listening on free loopback ports only. No system service is started or touched.
#
#   servers=$(scripts/db-servers.sh start) && eval "$servers"
#                                           starts both, prints the exports the tests read
#   scripts/db-servers.sh stop DIR          stops them and removes DIR
#
# Exports: DABRIX_DB_DIR, DABRIX_PG_CONN, DABRIX_MARIADB_CONN (ODBC connection strings).
# A server that cannot start makes `start` fail at once with that server's own log on standard error;
# whatever it had already started is stopped and its folder removed, so nothing is left running.
set -euo pipefail

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

pg_bin() {
  local d
  d=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -n "$d" ] || { echo "PostgreSQL server binaries not found (Debian package postgresql)" >&2; return 1; }
  echo "$d"
}

need() {
  command -v "$1" >/dev/null 2>&1 || { echo "$1 not found (Debian package $2)" >&2; return 1; }
}

as_pg_user() {
  # The server refuses to run as root; the Debian package's "postgres" account does it.
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

# Prints a log file to standard error under a heading, then fails.
fail_with_log() {
  local what=$1 log=$2
  echo "db-servers: $what failed to start; its log ($log):" >&2
  [ -f "$log" ] && sed 's/^/  /' "$log" >&2
  return 1
}

start_postgres() {
  local dir=$1 bin port
  # Called in an || list, where set -e is off: every step says itself whether to go on.
  bin=$(pg_bin) || return 1
  port=$(free_port) || return 1
  mkdir "$dir/pg" || return 1
  if [ "$(id -u)" -eq 0 ]; then chown postgres "$dir/pg" || return 1; fi
  as_pg_user "$bin/initdb" -D "$dir/pg/data" -U dabrix --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/pg/initdb.log" 2>&1 \
    || fail_with_log "PostgreSQL initdb" "$dir/pg/initdb.log" || return 1
  as_pg_user "$bin/pg_ctl" -D "$dir/pg/data" -l "$dir/pg/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $port -k $dir/pg -c fsync=off -c full_page_writes=off" start >/dev/null 2>&1 \
    || fail_with_log "PostgreSQL" "$dir/pg/server.log" || return 1
  as_pg_user "$bin/psql" -h 127.0.0.1 -p "$port" -U dabrix -d postgres -qc "ALTER USER dabrix PASSWORD 'dabrix'" >/dev/null \
    || fail_with_log "PostgreSQL" "$dir/pg/server.log" || return 1
  as_pg_user "$bin/psql" -h 127.0.0.1 -p "$port" -U dabrix -d postgres -qc "CREATE DATABASE dabrix_test" >/dev/null \
    || fail_with_log "PostgreSQL" "$dir/pg/server.log" || return 1
  PG_PORT=$port
}

start_mariadb() {
  local dir=$1 port ok=""
  need mariadb-install-db mariadb-server && need mariadbd mariadb-server && need mariadb mariadb-client || return 1
  port=$(free_port) || return 1
  mkdir "$dir/my" || return 1
  mariadb-install-db --no-defaults --datadir="$dir/my/data" --user="$(id -un)" \
    --auth-root-authentication-method=normal --skip-test-db >"$dir/my/install.log" 2>&1 \
    || fail_with_log "mariadb-install-db" "$dir/my/install.log" || return 1
  (mariadbd --no-defaults --datadir="$dir/my/data" --user="$(id -un)" --bind-address=127.0.0.1 \
      --port="$port" --socket="$dir/my/sock" --pid-file="$dir/my/pid" \
      --innodb-flush-log-at-trx-commit=0 --log-error="$dir/my/server.log" >/dev/null 2>&1 &)
  for _ in $(seq 1 120); do
    if mariadb --no-defaults -uroot --socket="$dir/my/sock" -e "SELECT 1" >/dev/null 2>&1; then ok=1; break; fi
    sleep 0.5
  done
  [ -n "$ok" ] || fail_with_log "MariaDB" "$dir/my/server.log" || return 1
  mariadb --no-defaults -uroot --socket="$dir/my/sock" -e \
    "CREATE DATABASE dabrix_test; CREATE USER 'dabrix'@'127.0.0.1' IDENTIFIED BY 'dabrix';
     GRANT ALL ON dabrix_test.* TO 'dabrix'@'127.0.0.1'; FLUSH PRIVILEGES;" >&2 \
    || fail_with_log "MariaDB" "$dir/my/server.log" || return 1
  MY_PORT=$port
}

start() {
  local dir
  dir=$(mktemp -d /tmp/dabrix-db.XXXXXX)
  chmod 755 "$dir"
  if ! start_postgres "$dir" || ! start_mariadb "$dir"; then
    stop "$dir"
    exit 1
  fi
  echo "export DABRIX_DB_DIR='$dir'"
  echo "export DABRIX_PG_CONN='Driver=PostgreSQL Unicode;Servername=127.0.0.1;Port=$PG_PORT;Database=dabrix_test;Username=dabrix;Password=dabrix'"
  echo "export DABRIX_MARIADB_CONN='Driver=MariaDB Unicode;Server=127.0.0.1;Port=$MY_PORT;Database=dabrix_test;Uid=dabrix;Pwd=dabrix'"
}

stop() {
  local dir=${1:?folder} pid
  [ -d "$dir" ] || return 0
  if [ -f "$dir/pg/data/postmaster.pid" ]; then
    as_pg_user "$(pg_bin)/pg_ctl" -D "$dir/pg/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  if [ -f "$dir/my/pid" ]; then
    pid=$(cat "$dir/my/pid" 2>/dev/null || true)
    if [ -n "$pid" ]; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 1 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.25; done
      kill -9 "$pid" 2>/dev/null || true
    fi
  fi
  # A server that never wrote its pid file (it failed or hung while starting) is found by its data folder.
  pkill -9 -f -- "--datadir=$dir/my/data" 2>/dev/null || true
  rm -rf "$dir"
}

case "${1:-}" in
  start) start ;;
  stop) stop "${2:-}" ;;
  *) echo "usage: $0 start | stop DIR" >&2; exit 2 ;;
esac
