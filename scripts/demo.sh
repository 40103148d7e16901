#!/usr/bin/env bash
# Builds the programs and shows the example reorganization definition: its storage tree, then the same
# document converted to the binary format and back, which must read the same.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDABRIX_TESTS=OFF
cmake --build build -j "$(nproc)"

cli=build/bin/dabrix-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cli" dump examples/demo.qxt
"$cli" convert examples/demo.qxt "$work/demo.qxs"
"$cli" convert "$work/demo.qxs" "$work/demo.qxt"
"$cli" tree examples/demo.qxt

# The source database of the example, on the embedded SQLite driver.
db="Driver=SQLite3;Database=$work/demo-source.db"
"$cli" query "$db" "CREATE TABLE customers (id INTEGER PRIMARY KEY, name VARCHAR(60), city VARCHAR(60))"
"$cli" query "$db" "INSERT INTO customers (name, city) VALUES ('  Ada Lovelace ', 'London'), ('Иван Петров', 'Москва'), ('Grace Hopper', NULL)"
"$cli" query "$db" "SELECT * FROM customers ORDER BY id"
"$cli" schema "$db"

if cmp -s <("$cli" dump --sorted examples/demo.qxt) <("$cli" dump --sorted "$work/demo.qxt"); then
  echo "demo: text -> binary -> text round trip reads the same"
else
  echo "demo: round trip differs" >&2
  exit 1
fi
