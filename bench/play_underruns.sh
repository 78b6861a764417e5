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
start_compilers

play_measured
load=$(cut -d ' ' -f 1 /proc/loadavg)
echo "playing $tracks stereo tracks for $seconds s through QUARL_AUDIO=null, 8 x 16384-byte buffers,"
echo "beside two g++ -O2 compiles in a loop (load average $load, $(nproc) cores)"
echo "  gaps the device filled with silence: $underruns   (aim 0)"
echo "  CPU of the play: $(percent "$cpu" "$elapsed") % of one core"
