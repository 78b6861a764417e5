#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time.
#   fuzz/run.sh [SECONDS] [TARGET...]     (default: 60 seconds, every target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DFUZZ=ON -DTESSEL_TESTS=OFF \
  -DTESSEL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
status=0
for t in "${targets[@]}"; do
  seeds=fuzz/corpus/$t
  work=$build/corpus/$t
  mkdir -p "$work" "$seeds"
  echo "== $t: ${seconds}s"
  if ! "$build/bin/$t" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
      -print_final_stats=1 "$work" "$seeds"; then
    status=1
  fi
done
exit $status
