#!/usr/bin/env bash
# Runs every benchmark program of a build (default: build/).
set -euo pipefail
build=${1:-build}
for b in "$build"/bin/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
