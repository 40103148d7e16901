#!/usr/bin/env bash
# Throwaway database servers for the tests: a PostgreSQL and a MariaDB instance in a temporary folder,
# listening on free loopback ports only. No system service is started or touched.
#
#   eval "$(scripts/db-servers.sh start)"   starts both, prints the exports the tests read
#   scripts/db-servers.sh stop DIR          stops them and removes DIR
#
# Exports: DABRIX_DB_DIR, DABRIX_PG_CONN, DABRIX_MARIADB_CONN (ODBC connection strings).
set -euo pipefail

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

pg_bin() {
  local d
  d=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -n "$d" ] || { echo "PostgreSQL server binaries not found" >&2; exit 1; }
  echo "$d"
}

as_pg_user() {
  # The server refuses to run as root; the Debian package's "postgres" account does it.
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

start() {
  local dir pgport myport bin
  dir=$(mktemp -d /tmp/dabrix-db.XXXXXX)
  chmod 755 "$dir"
  bin=$(pg_bin)

  # PostgreSQL
  pgport=$(free_port)
  mkdir "$dir/pg"
  [ "$(id -u)" -eq 0 ] && chown postgres "$dir/pg"
  as_pg_user "$bin/initdb" -D "$dir/pg/data" -U dabrix --auth=trust -E UTF8 --locale=C.UTF-8 >"$dir/pg/initdb.log" 2>&1 \
    || { cat "$dir/pg/initdb.log" >&2; exit 1; }
  as_pg_user "$bin/pg_ctl" -D "$dir/pg/data" -l "$dir/pg/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $pgport -k $dir/pg -c fsync=off -c full_page_writes=off" start >/dev/null \
    || { cat "$dir/pg/server.log" >&2; exit 1; }
  as_pg_user "$bin/psql" -h 127.0.0.1 -p "$pgport" -U dabrix -d postgres -qc "ALTER USER dabrix PASSWORD 'dabrix'" >/dev/null
  as_pg_user "$bin/psql" -h 127.0.0.1 -p "$pgport" -U dabrix -d postgres -qc "CREATE DATABASE dabrix_test" >/dev/null

  # MariaDB
  myport=$(free_port)
  mkdir "$dir/my"
  mariadb-install-db --no-defaults --datadir="$dir/my/data" --user="$(id -un)" \
    --auth-root-authentication-method=normal --skip-test-db >"$dir/my/install.log" 2>&1 \
    || { cat "$dir/my/install.log" >&2; exit 1; }
  (mariadbd --no-defaults --datadir="$dir/my/data" --user="$(id -un)" --bind-address=127.0.0.1 \
      --port="$myport" --socket="$dir/my/sock" --pid-file="$dir/my/pid" --skip-grant-tables=0 \
      --innodb-flush-log-at-trx-commit=0 --log-error="$dir/my/server.log" >/dev/null 2>&1 &)
  for _ in $(seq 1 120); do
    mariadb --no-defaults -uroot --socket="$dir/my/sock" -e "SELECT 1" >/dev/null 2>&1 && break
    sleep 0.5
  done
  mariadb --no-defaults -uroot --socket="$dir/my/sock" -e \
    "CREATE DATABASE dabrix_test; CREATE USER 'dabrix'@'127.0.0.1' IDENTIFIED BY 'dabrix';
     GRANT ALL ON dabrix_test.* TO 'dabrix'@'127.0.0.1'; FLUSH PRIVILEGES;" \
    || { cat "$dir/my/server.log" >&2; exit 1; }

  echo "export DABRIX_DB_DIR='$dir'"
  echo "export DABRIX_PG_CONN='Driver=PostgreSQL Unicode;Servername=127.0.0.1;Port=$pgport;Database=dabrix_test;Username=dabrix;Password=dabrix'"
  echo "export DABRIX_MARIADB_CONN='Driver=MariaDB Unicode;Server=127.0.0.1;Port=$myport;Database=dabrix_test;Uid=dabrix;Pwd=dabrix'"
}

stop() {
  local dir=${1:?folder}
  [ -d "$dir" ] || return 0
  if [ -f "$dir/pg/data/postmaster.pid" ]; then
    as_pg_user "$(pg_bin)/pg_ctl" -D "$dir/pg/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  if [ -f "$dir/my/pid" ]; then
    kill "$(cat "$dir/my/pid")" 2>/dev/null || true
    for _ in $(seq 1 40); do [ -e "$dir/my/pid" ] || break; sleep 0.25; done
  fi
  rm -rf "$dir"
}

case "${1:-}" in
  start) start ;;
  stop) stop "${2:-}" ;;
  *) echo "usage: $0 start | stop DIR" >&2; exit 2 ;;
esac
