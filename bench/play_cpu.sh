#!/usr/bin/env bash
# CPU time of quarl-cli while it plays 16 stereo 44.1 kHz tracks in real time through the
# clock-paced null device, as a share of one core over the whole play (30 s by default), and
# the gaps the device had to fill.
#
#   bench/play_cpu.sh [build-dir] [seconds]
#
# The process's user and system time cover the engine's mixing thread and the command's own
# loop (the position line is not drawn without a terminal); loading the session is included.
set -euo pipefail
default_seconds=30
. "$(dirname "$0")/play_session.sh"

play_measured
echo "playing $tracks stereo 16-bit 44.1 kHz tracks of $seconds s through QUARL_AUDIO=null"
echo "  wall ${elapsed} s, CPU ${cpu} s: $(percent "$cpu" "$elapsed") % of one core   (aim < 5)"
echo "  gaps the device filled with silence: $underruns"
