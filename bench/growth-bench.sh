#!/usr/bin/env bash
# Seconds taken on inputs that are wide or deep, to show that the work grows with the input and no faster.
#
#   bench/growth-bench.sh
#
# Builds the release programs into $DABRIX_BUILD_DIR (default build-rel), then prints the median of three
# runs per case:
#   - storage_growth_bench: compound images with many elements in one storage or storages nested deep
#     (save, load, walk through the storage interface) and the text format's walk down a long section path;
#   - dabrix-cli on generated documents: dump of a section path of 4,000 parts, tree and dump of node trees
#     nested 1,000 and 2,000 deep, a function node with 50,000 arguments, documents of 16,000 and 50,000
#     sibling nodes converted to the binary format, and dump of a binary document holding 50,000 values in
#     one directory.
# Environment: DABRIX_BUILD_DIR, DABRIX_BENCH_JOBS (build parallelism, default 2), DABRIX_BENCH_KEEP=1 keeps
# the generated documents.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${DABRIX_BUILD_DIR:-$ROOT/build-rel}

if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDABRIX_TESTS=OFF >&2
fi
cmake --build "$BUILD" -j "${DABRIX_BENCH_JOBS:-2}" --target dabrix-cli DabrixPlugin storage_growth_bench >&2
CLI=$BUILD/bin/dabrix-cli
[ -x "$CLI" ] || { echo "growth-bench: $CLI was not built" >&2; exit 1; }
BENCH=$(find "$BUILD" -name storage_growth_bench -type f -perm -u+x | head -1)

WORK=$(mktemp -d /tmp/dabrix-growth.XXXXXX)
cleanup() { if [ "${DABRIX_BENCH_KEEP:-}" = 1 ]; then echo "work folder kept: $WORK" >&2; else rm -rf "$WORK"; fi; }
trap cleanup EXIT
export XDG_CONFIG_HOME=$WORK/config

"$BENCH"

# --- Generated documents -----------------------------------------------------------------------------------
GUID='{C1CE532E-C8F3-4cc4-915D-B90F532B3B19}'
python3 - "$WORK" "$GUID" <<'PY'
import sys
work, guid = sys.argv[1], sys.argv[2]
def doc(name, sections):
    with open(f"{work}/{name}", "w", newline="") as f:
        f.write(f"[GeneralSettings]\r\nDataFormatGUID={guid}\r\n[QXD]\r\n")
        for section, values in sections:
            f.write(f"[{section}]\r\n")
            for k, v in values:
                f.write(f"{k}={v}\r\n")
def node(title):
    return [("DataClassName", "TQXDDestFieldData"), ("Title", title)]
# A section path of many parts.
with open(f"{work}/path4000.qxt", "w", newline="") as f:
    f.write("[" + "\\".join(["a"] * 4000) + "]\r\nk=v\r\n")
# Node trees nested deep: each node's children are in its directory ".".
for depth in (1000, 2000):
    sections, path = [], "QXD"
    for i in range(depth):
        path += "\\.\\%05d" % i
        sections.append((path, node("n%d" % i)))
    doc(f"nested{depth}.qxt", sections)
# Sibling nodes.
for count in (16000, 50000):
    doc(f"siblings{count}.qxt", [("QXD\\.\\%05d" % i, node("n%d" % i)) for i in range(count)])
# A function node with 50,000 arguments.
args = [("DataClassName", "TQXDFieldFuncData"), ("Title", "Trim"),
        ("FunctionId", "{00000000-0000-0000-0000-000000000000}")]
args += [("Argument%03d" % i, "11,True") for i in range(50000)]
doc("function50000.qxt", [("QXD\\.\\00000", node("field")), ("QXD\\.\\00000\\.\\00001", args)])
# 50,000 values in one directory (converted to the binary format below).
with open(f"{work}/values50000.qxt", "w", newline="") as f:
    f.write("[values]\r\n" + "".join("v%d=value\r\n" % i for i in range(50000)))
PY

median() {  # prints the median of three runs of the command, in seconds
  local times=() t
  for _ in 1 2 3; do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc)")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n 2p
}
report() { printf '%-48s %8.3f s\n' "$1" "$2"; }

cd "$WORK"
report "cli: dump a section path of 4000 parts" "$(median "$CLI" dump path4000.qxt)"
for depth in 1000 2000; do
  report "cli: tree of nodes nested $depth deep" "$(median "$CLI" tree nested$depth.qxt)"
  report "cli: dump of nodes nested $depth deep" "$(median "$CLI" dump nested$depth.qxt)"
done
report "cli: tree of a function with 50000 arguments" "$(median "$CLI" tree function50000.qxt)"
for count in 16000 50000; do
  report "cli: convert $count sibling nodes to text" "$(median "$CLI" convert siblings$count.qxt out$count.qxt)"
  report "cli: convert $count sibling nodes to binary" "$(median "$CLI" convert siblings$count.qxt out$count.qxs)"
  report "cli: tree of $count sibling nodes (binary)" "$(median "$CLI" tree out$count.qxs)"
done
"$CLI" convert values50000.qxt values50000.qxs
report "cli: dump 50000 values of one binary directory" "$(median "$CLI" dump values50000.qxs)"
