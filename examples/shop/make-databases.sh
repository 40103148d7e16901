#!/usr/bin/env bash
# Usage: make-databases.sh DABRIX-CLI DIR
# Creates DIR/shop-source.db (filled) and DIR/shop-dest.db (empty tables) from source.sql and dest.sql,
# one statement a line, through the SQLite ODBC driver, the same way the run reaches them. Existing files
# are replaced.
set -euo pipefail
cli=$1
dir=$2
here=$(cd "$(dirname "$0")" && pwd)

load() {
  local db=$1 sql=$2
  rm -f "$db"
  grep -v -e '^--' -e '^PRAGMA' -e '^[[:space:]]*$' "$sql" | while IFS= read -r statement; do
    "$cli" query "Driver=SQLite3;Database=$db" "${statement%;}" >/dev/null
  done
}

load "$dir/shop-source.db" "$here/source.sql"
load "$dir/shop-dest.db" "$here/dest.sql"
