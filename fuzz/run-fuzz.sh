#!/usr/bin/env bash
# Fuzzes every target for a while, starting from its committed seeds, and
# keeps what it learns in fuzz/corpus-work/ (not committed).
# Usage: fuzz/run-fuzz.sh BUILD_DIR SECONDS [target ...]
set -euo pipefail
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for f in "$here"/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
for t in "${targets[@]}"; do
  name=${t%_fuzz}
  work="$here/corpus-work/$name"
  mkdir -p "$work" "$here/corpus/$name"
  echo "== $t for ${seconds}s"
  exe=$(find "$build" -name "$t" -type f -perm -u+x | head -1)
  "$exe" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/" "$work" "$here/corpus/$name" 2>&1 |
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|SUMMARY|Done)' || true
done
