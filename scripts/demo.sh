#!/usr/bin/env bash
# Builds the programs and runs the shop example (examples/shop/): a messy SQLite shop database is copied
# and cleaned into a destination database by examples/shop/shop.qxt with `dabrix-cli run`, twice — the
# first run inserts, the second finds every record again and edits it. Then the storage example
# (examples/demo.qxt) is shown as storage and as tree and converted to the binary format and back.
#
# DABRIX_BUILD_DIR chooses the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=${DABRIX_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDABRIX_TESTS=OFF
cmake --build "$build" -j "$(nproc)"

cli=$(cd "$build/bin" && pwd)/dabrix-cli
shop=$(pwd)/examples/shop
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The definition names its databases relative to the working directory (shop-source.db, shop-dest.db),
# and the runs keep their settings (values entered for SQL parameters, the error action) in the temp folder.
export XDG_CONFIG_HOME="$work/config"

echo "== Shop example: source and destination databases in $work"
"$shop/make-databases.sh" "$cli" "$work"
(
  cd "$work"
  "$cli" query "Driver=SQLite3;Database=shop-source.db" "SELECT * FROM customers ORDER BY id"

  echo
  echo "== First run: records are inserted (the customer entered twice edits the first entry)"
  "$cli" run "$shop/shop.qxt" --error-action continue --report "$work/first-run.rtf"
  echo
  echo "== Destination rows after the first run"
  "$cli" query "Driver=SQLite3;Database=shop-dest.db" "SELECT * FROM clients ORDER BY client_id"
  "$cli" query "Driver=SQLite3;Database=shop-dest.db" \
    "SELECT o.order_no, c.full_name, o.status, l.product, l.quantity, l.unit_price, l.currency FROM order_lines l JOIN orders o ON o.order_no = l.order_no JOIN clients c ON c.client_id = o.client_id ORDER BY l.line_no LIMIT 5"

  echo
  echo "== Second run: the same records are found again and edited, nothing is inserted"
  "$cli" run "$shop/shop.qxt" --error-action continue
  "$cli" query "Driver=SQLite3;Database=shop-dest.db" \
    "SELECT (SELECT count(*) FROM clients) AS clients, (SELECT count(*) FROM orders) AS orders, (SELECT count(*) FROM order_lines) AS order_lines"
  if "$cli" validate "$shop/shop.qxt" >"$work/validation.txt"; then
    echo "validate: every node Ok"
  else
    cat "$work/validation.txt"
  fi
)

echo
echo "== Storage example: examples/demo.qxt"
"$cli" dump examples/demo.qxt
"$cli" convert examples/demo.qxt "$work/demo.qxs"
"$cli" convert "$work/demo.qxs" "$work/demo.qxt"
"$cli" tree examples/demo.qxt

if cmp -s <("$cli" dump --sorted examples/demo.qxt) <("$cli" dump --sorted "$work/demo.qxt"); then
  echo "demo: text -> binary -> text round trip reads the same"
else
  echo "demo: round trip differs" >&2
  exit 1
fi
