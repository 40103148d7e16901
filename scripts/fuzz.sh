#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build-fuzz and runs each for SECONDS (default 60),
# one after the other. Any finding (crash, sanitizer report, failed property, timeout, memory blow-up) fails
# the command; the input is left in build-fuzz/findings/TARGET/. Inputs found once are kept in
# fuzz/corpus/TARGET/ and run first, so they guard against the fault coming back.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true

build=build-fuzz
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1} CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# The compiler is chosen when the folder is first configured (changing it later would start over).
compilers=()
if [ ! -f "$build/CMakeCache.txt" ]; then compilers=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++); fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDABRIX_FUZZ=ON "${compilers[@]}" "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers

# Per target: the longest input, and the time one input may take; the timeout is the linear-time guard
# (documents get more: every input is opened and saved three times). Two kinds of input still cost more
# than their size: paths walked level by level, where every level spells the whole path (the text format;
# the targets also refuse lines with more separators than they allow), and regex subjects searched by
# patterns with back-references. The lengths keep the worst of those well inside the timeout on a busy
# machine.
declare -A max_len=(
  [ini_storage]=4096 [compound_file]=65536 [document_load]=16384 [regexp]=4096
  [sql_text]=4096 [connection_string]=4096 [variant_text]=256
)
declare -A timeout=(
  [ini_storage]=10 [compound_file]=10 [document_load]=30 [regexp]=10
  [sql_text]=10 [connection_string]=10 [variant_text]=10
)

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(ini_storage compound_file document_load regexp sql_text connection_string variant_text)
fi

# Seeds: the kept corpus, plus the example documents for the readers of documents.
seed_dir() {
  local t=$1 dir="$build/seeds/$1"
  rm -rf "$dir"
  mkdir -p "$dir"
  cp fuzz/corpus/"$t"/* "$dir"/ 2>/dev/null || true
  case $t in
    ini_storage | document_load)
      for f in examples/*.qxt examples/*/*.qxt; do cp "$f" "$dir/$(basename "$(dirname "$f")")-$(basename "$f")"; done ;;
  esac
  echo "$dir"
}

failed=()
for t in "${targets[@]}"; do
  bin="$build/bin/fuzz_$t"
  seeds=$(seed_dir "$t")
  work="$build/corpus/$t"
  findings="$build/findings/$t"
  mkdir -p "$work" "$findings"
  log="$build/fuzz-$t.log"
  echo "== fuzz_$t: ${seconds}s (max_len ${max_len[$t]}, timeout ${timeout[$t]}s)"
  status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$bin" "$work" "$seeds" -max_total_time="$seconds" -timeout="${timeout[$t]}" -max_len="${max_len[$t]}" \
      -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$findings/" \
      >"$log" 2>&1 || status=$?
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+ +DONE' "$log" | sed 's/^/   /' || true
  if [ "$status" -ne 0 ]; then
    echo "   FINDING (exit $status), see $log and $findings/"
    grep -E 'ERROR:|property failed|runtime error|timeout' "$log" | head -5 | sed 's/^/   /' || true
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz findings in: ${failed[*]}"
  exit 1
fi
echo "no findings"
