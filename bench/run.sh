#!/usr/bin/env bash
# Runs every benchmark program of a build (default: build/). The playback scripts
# (bench/play_cpu.sh, bench/play_underruns.sh) take a minute or more and run on their own, as
# does bench/quarl_open.sh (the program opening big sessions).
set -euo pipefail
build=${1:-build}
for b in "$build"/bin/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
# A plain program that prints its own figures.
echo "== play_latency"
"$build/bin/play_latency"
