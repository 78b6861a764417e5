#!/usr/bin/env bash
# Gaps in playback while the machine is busy: 16 stereo tracks played for 60 s (by default)
# through the clock-paced null device with the default 8 x 16 KB buffers, while two compiler
# processes build one of the engine's larger sources over and over. Prints how many times the
# device had to play silence because a block came too late.
#
#   bench/play_underruns.sh [build-dir] [seconds]
set -euo pipefail
default_seconds=60
. "$(dirname "$0")/play_session.sh"
command -v g++ > /dev/null || { echo "g++ is needed (scripts/setup.sh)" >&2; exit 1; }

root=$(cd "$(dirname "$0")/.." && pwd)
loaders=()
stop_loaders() {
  # The compiler running at the moment goes with its loop.
  for pid in "${loaders[@]}"; do
    pkill -P "$pid" 2> /dev/null || true
    kill "$pid" 2> /dev/null || true
  done
  wait "${loaders[@]}" 2> /dev/null || true
  cleanup
}
trap stop_loaders EXIT
for n in 1 2; do
  (
    while :; do
      g++ -std=c++20 -O2 -I"$root" -c "$root/sonark/mixer/pcm_mixer.cpp" -o "$work/load$n.o"
    done
  ) > /dev/null 2>&1 &
  loaders+=($!)
done
# Let both compilers get going first.
sleep 2

play_measured
load=$(cut -d ' ' -f 1 /proc/loadavg)
echo "playing $tracks stereo tracks for $seconds s through QUARL_AUDIO=null, 8 x 16384-byte buffers,"
echo "beside two g++ -O2 compiles in a loop (load average $load, $(nproc) cores)"
echo "  gaps the device filled with silence: $underruns   (aim 0)"
echo "  CPU of the play: $(percent "$cpu" "$elapsed") % of one core"
