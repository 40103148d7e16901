#!/usr/bin/env bash
# Screenshots of the desktop program for the documentation: starts dabrix under a virtual X server on the
# shop example and saves the main window with each detail page into docs/screenshots/.
#
#   scripts/screenshots.sh [build-dir]      (default: build)
#
# Needs Xvfb, xdotool and ImageMagick's import. Runs with its own empty settings folder, so the user's
# settings are neither read nor changed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
case $build in /*) ;; *) build=$here/$build ;; esac
bin=$build/bin/dabrix
out=$here/docs/screenshots
doc=$here/examples/shop/shop.qxt
[ -x "$bin" ] || { echo "dabrix not found at $bin (build it first)" >&2; exit 1; }
mkdir -p "$out"

work=$(mktemp -d)
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
app=
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display XDG_CONFIG_HOME=$work/config QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

start() {
  "$bin" "$@" >"$work/dabrix.log" 2>&1 &
  app=$!
  wid=
  for _ in $(seq 100); do
    wid=$(xdotool search --onlyvisible --name '^dabrix - ' 2>/dev/null | head -1) && [ -n "$wid" ] && break
    sleep 0.1
  done
  [ -n "$wid" ] || { echo "dabrix did not open its window" >&2; cat "$work/dabrix.log" >&2; exit 1; }
  xdotool windowmove "$wid" 0 0 windowsize "$wid" 1000 720
  sleep 1
  # A wider tree area: the splitter handle is dragged to the right.
  xdotool mousemove --window "$wid" 202 400 mousedown 1 mousemove --window "$wid" 300 400 mouseup 1
  sleep 0.3
}
stop() { kill "$app" 2>/dev/null || true; wait "$app" 2>/dev/null || true; app=; }
shot() { sleep 0.6; import -window "$wid" "$out/$1.png"; echo "saved docs/screenshots/$1.png"; }
key() { xdotool key --window "$wid" "$@"; }

# Without a document: the "How to start" page.
start
shot main-general
stop

# The shop example: every node kind in turn. The tree gets the focus by a click on its empty part, the
# whole tree is expanded ("*" on the first node) and walked down in tree order.
start "$doc"
eval "$(xdotool getwindowgeometry --shell "$wid")"
xdotool mousemove --window "$wid" 150 660 click 1
key Home
shot main-source-database
key asterisk
key Down; shot main-source-recordset
# The "SQL" tab of the page, then the focus back on the selected tree item.
xdotool mousemove --window "$wid" 424 109 click 1; shot main-source-recordset-sql
xdotool mousemove --window "$wid" 115 108 click 1
key Down; shot main-destination-database
key Down; shot main-destination-recordset
key Down; shot main-destination-field
key Down Down; shot main-function
stop

# --- Runs: progress dialog and operation report ------------------------------------------------------------
# The shop's databases in a folder of their own, where the definition looks for them (it names them relative
# to the working folder). The first run fills the report; before the second the source gets many more
# customers (the demo commits every three records, so a few thousand take seconds), so that its progress
# dialog stays up long enough to be seen, and Escape then cancels it.
cli=$build/bin/dabrix-cli
if [ -x "$cli" ]; then
  mkdir -p "$work/run"
  bash "$here/examples/shop/make-databases.sh" "$cli" "$work/run" >/dev/null
  window() {  # the id of the visible window whose title starts with $1 (waits up to 10 s)
    local id=
    for _ in $(seq 100); do
      id=$(xdotool search --onlyvisible --name "^$1" 2>/dev/null | head -1) && [ -n "$id" ] && break
      sleep 0.1
    done
    echo "$id"
  }
  cd "$work/run"
  {
    start "$doc"
    xdotool mousemove --window "$wid" 150 660 click 1
    key F9
    rid=$(window 'Operation Report')
    [ -n "$rid" ] || { echo "the report window did not open" >&2; exit 1; }
    xdotool windowmove "$rid" 40 60 windowsize "$rid" 820 520
    sleep 1
    import -window "$rid" "$out/run-report.png"; echo "saved docs/screenshots/run-report.png"
    "$cli" query "Driver=SQLite3;Database=$work/run/shop-source.db" \
      "WITH RECURSIVE n(i) AS (SELECT 100 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) INSERT INTO customers SELECT i, 'Customer ' || i, 'c' || i || '@example.com', '555 ' || i, 'Paris' FROM n" >/dev/null
    # A click on the tree below the report window gives the main window the keyboard again.
    xdotool mousemove --window "$wid" 150 660 click 1
    key F9
    pid=$(window 'Executing data reorganization')
    [ -n "$pid" ] || { echo "the progress dialog did not open" >&2; exit 1; }
    sleep 2.5
    import -window "$pid" "$out/run-progress.png"; echo "saved docs/screenshots/run-progress.png"
    xdotool key --window "$pid" Escape 2>/dev/null || true
    sleep 2
    import -window "$rid" "$out/run-report-cancelled.png"; echo "saved docs/screenshots/run-report-cancelled.png"
    stop
  }
  cd "$here"
fi
# --- end of the runs block ---------------------------------------------------------------------------------

# --- Schema pages (own block) ------------------------------------------------------------------------------
# The shop example with a schema page of its source database kept in the document's window list, so that
# opening it brings the page back; the tables are expanded down to the columns of the first one.
if [ -x "$cli" ]; then
  mkdir -p "$work/schema"
  bash "$here/examples/shop/make-databases.sh" "$cli" "$work/schema" >/dev/null
  cp "$doc" "$work/schema/shop-schema.qxt"
  cat >>"$work/schema/shop-schema.qxt" <<'QXT'
[WindowList\00000]
ClassName=TKVSchemaPagesDlg
[WindowList\00000\Page00000]
ClassName=TKVSchemaTreeArea
LoadedSchemaLists=6
[WindowList\00000\Page00000\ConnectProperties]
ConnectionString=Driver=SQLite3;Database=shop-source.db
QXT
  cd "$work/schema"
  {
    start "$work/schema/shop-schema.qxt"
    sid=
    for _ in $(seq 100); do
      sid=$(xdotool search --onlyvisible --name '^Schema$' 2>/dev/null | head -1) && [ -n "$sid" ] && break
      sleep 0.1
    done
    [ -n "$sid" ] || { echo "the schema pages did not open" >&2; exit 1; }
    xdotool windowmove "$sid" 620 40 windowsize "$sid" 420 620
    sleep 1
    # The first list of the tree, opened, then its first table and that table's column list.
    xdotool mousemove --window "$sid" 60 104 click 1
    xdotool key --window "$sid" Right Down Right Down Right
    sleep 0.6
    import -window "$sid" "$out/schema-pages.png"; echo "saved docs/screenshots/schema-pages.png"
    # "Edit Data" (the page's last command button) on the table: the data editor, sorted by a header click
    # on "name", with a second record added to the selection by Ctrl-click.
    xdotool key --window "$sid" Up
    sleep 0.3
    xdotool mousemove --window "$sid" 254 78 click 1
    eid=
    for _ in $(seq 100); do
      eid=$(xdotool search --onlyvisible --name '^Edit Data' 2>/dev/null | head -1) && [ -n "$eid" ] && break
      sleep 0.1
    done
    [ -n "$eid" ] || { echo "the data editor did not open" >&2; exit 1; }
    xdotool windowmove "$eid" 20 60 windowsize "$eid" 900 420
    sleep 1
    xdotool mousemove --window "$eid" 175 85 click 1
    sleep 0.8
    xdotool mousemove --window "$eid" 175 143 keydown ctrl click 1 keyup ctrl
    sleep 0.3
    import -window "$eid" "$out/data-editor-shop.png"; echo "saved docs/screenshots/data-editor-shop.png"
    stop
  }
  cd "$here"
fi
# --- end of the schema pages block -------------------------------------------------------------------------
