#!/usr/bin/env bash
# Fuzzes every target for a while, one after the other, starting from its
# committed seeds, and keeps what it learns in fuzz/corpus-work/<target>/
# (not committed). A crash, a leak, a sanitizer report or an input that runs
# longer than FUZZ_TIMEOUT seconds (default 60) stops the target and leaves
# the input in fuzz/corpus-work/<target>/ (crash-*, leak-*, timeout-*).
# Usage: fuzz/run-fuzz.sh BUILD_DIR SECONDS [target ...]
# Each target ends with a line "result: TARGET SECONDS EXECUTIONS STATUS".
set -euo pipefail
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for f in "$here"/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for t in "${targets[@]}"; do
  t=${t%_fuzz}_fuzz
  name=${t%_fuzz}
  work="$here/corpus-work/$name"
  mkdir -p "$work/queue" "$here/corpus/$name"
  echo "== $t for ${seconds}s"
  exe=$(find "$build" -name "$t" -type f -perm -u+x | head -1)
  log="$work/last-run.log"
  start=$(date +%s)
  status=ok
  "$exe" -max_total_time="$seconds" -timeout="${FUZZ_TIMEOUT:-60}" -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/queue" "$here/corpus/$name" >"$log" 2>&1 || status=finding
  end=$(date +%s)
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY|Done|artifact_prefix|Test unit written)' "$log" || true
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "result: $t $((end - start)) ${execs:-?} $status"
done
