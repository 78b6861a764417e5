#!/usr/bin/env bash
# Mixing eight stereo 16-bit 44.1 kHz sounds of ten minutes each: our offline mixer against
# sox -m and ffmpeg's amix, measured in one run on this machine, as times real time.
#
#   bench/mix_peers.sh [build-dir] [minutes]
#
# The peers read the eight files from disk and write one wave file; ours renders the same
# mix from memory into a sink that discards it (mix_to_sink_bench), so the comparison is of
# the mixing, with the peers' file reading in their favour of nothing.
set -euo pipefail
build=${1:-build}
minutes=${2:-10}
seconds=$((minutes * 60))
bench="$build/bin/mix_to_sink_bench"
[[ -x "$bench" ]] || { echo "build $bench first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/mix_peers.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Eight different signals, so no peer can take a shortcut over identical inputs.
inputs=()
for i in 1 2 3 4 5 6 7 8; do
  f="$work/in$i.wav"
  sox -n -r 44100 -b 16 -c 2 "$f" synth "$seconds" sine $((110 * i)) vol 0.1
  inputs+=("$f")
done

now() { date +%s.%N; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }

t0=$(now)
sox -m "${inputs[@]}" "$work/sox.wav"
t1=$(now)
sox_x=$(awk -v s="$seconds" -v t0="$t0" -v t1="$t1" 'BEGIN { printf "%.1f", s / (t1 - t0) }')

args=()
for f in "${inputs[@]}"; do args+=(-i "$f"); done
t0=$(now)
ffmpeg -v error -y "${args[@]}" -filter_complex "amix=inputs=8" -c:a pcm_s16le "$work/ffmpeg.wav"
t1=$(now)
ffmpeg_x=$(awk -v s="$seconds" -v t0="$t0" -v t1="$t1" 'BEGIN { printf "%.1f", s / (t1 - t0) }')

ours_x=$("$bench" --benchmark_filter="BM_MixToDataSink/${minutes}/" \
  --benchmark_format=csv 2>/dev/null |
  awk -F, 'NR == 1 { for (i = 1; i <= NF; ++i) if ($i == "\"x_realtime\"" || $i == "x_realtime") c = i }
           NR > 1 && c { printf "%.1f", $c }')
[[ -n "$ours_x" ]] || { echo "no figure from $bench" >&2; exit 1; }

echo "8 x ${minutes} min, stereo 16-bit 44.1 kHz"
echo "  ours (MixToDataSink, memory sources, discarding sink): ${ours_x}x real time"
echo "  sox -m to a wave file:                                 ${sox_x}x real time"
echo "  ffmpeg amix to a wave file:                            ${ffmpeg_x}x real time"
echo "  ours / sox:    $(ratio "$ours_x" "$sox_x")"
echo "  ours / ffmpeg: $(ratio "$ours_x" "$ffmpeg_x")"
