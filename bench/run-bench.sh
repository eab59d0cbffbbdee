#!/usr/bin/env bash
# Runs every benchmark of a build: bench/run-bench.sh BUILD_DIR [benchmark options]
# The deep-scan benchmark makes (once) a filled image of OSPRIN_BENCH_GIB GiB
# (default 4) in the temporary folder, or scans OSPRIN_BENCH_IMAGE.
set -euo pipefail
build=${1:-build}
shift || true
found=0
for b in "$build"/bench/*_bench; do
  [ -x "$b" ] || continue
  found=1
  echo "== $(basename "$b")"
  "$b" "$@"
done
[ "$found" = 1 ] || { echo "no benchmarks in $build/bench (configure with -DOSPRIN_BUILD_BENCH=ON)" >&2; exit 1; }
