#!/usr/bin/env bash
# CPU of the engine's mixing thread while quarl-cli records stereo 44.1 kHz 16-bit and plays an
# 8-track session (60 s by default) through the clock-paced null device, beside two compiler
# processes building one of the engine's larger sources over and over. Prints the busiest
# thread's share of one core (the mixing thread: it mixes the output and writes the input)
# and the input buffers lost because none was free.
#
#   bench/record_cpu.sh [build-dir] [seconds]
#
# The thread's time is read from /proc/PID/task/TID/stat over the recording, leaving out the
# first two seconds (loading) and the last one.
set -euo pipefail
default_seconds=60
tracks=8
. "$(dirname "$0")/play_session.sh"
(( seconds >= 5 )) || { echo "record at least 5 s" >&2; exit 1; }

recorder=
stop_all() {
  [[ -n "$recorder" ]] && kill "$recorder" 2> /dev/null || true
  cleanup
}
trap stop_all EXIT
start_compilers

# "TID TICKS" for every thread of `pid` (user + system clock ticks).
thread_ticks() {
  local stat
  for stat in /proc/"$1"/task/*/stat; do
    # The name in parentheses may hold spaces: the fields after it are counted from its end.
    awk '{ sub(/^.*\) /, ""); print FILENAME, $12 + $13 }' "$stat" 2> /dev/null |
      sed -E 's|/proc/[0-9]+/task/([0-9]+)/stat|\1|'
  done
}

QUARL_AUDIO=null "$cli" record --over "$work/session.sgp" --seconds "$seconds" \
  "$work/take.wav" > "$work/record.out" 2> "$work/record.err" &
recorder=$!
sleep 2
thread_ticks "$recorder" | sort -k1,1 > "$work/before.txt"
start=$(date +%s.%N)
sleep $((seconds - 3))
thread_ticks "$recorder" | sort -k1,1 > "$work/after.txt"
end=$(date +%s.%N)
wait "$recorder" || { cat "$work/record.err" >&2; exit 1; }
recorder=

hz=$(getconf CLK_TCK)
read -r tid ticks < <(join "$work/before.txt" "$work/after.txt" 2> /dev/null |
  awk '{ print $1, $3 - $2 }' | sort -k2 -n -r | head -n 1)
lost=$(grep -o '[0-9]* input buffer' "$work/record.out" | grep -o '[0-9]*' || true)
load=$(cut -d ' ' -f 1 /proc/loadavg)
echo "recording 44.1 kHz 16-bit stereo while playing $tracks stereo tracks for $seconds s through"
echo "QUARL_AUDIO=null, beside two g++ -O2 compiles in a loop (load average $load, $(nproc) cores)"
awk -v t="$ticks" -v hz="$hz" -v a="$start" -v b="$end" -v tid="$tid" 'BEGIN {
  printf "  busiest thread (%s): %.1f %% of one core   (aim < 5)\n", tid, 100 * t / hz / (b - a) }'
echo "  input buffers lost: ${lost:-0}   (aim 0)"
