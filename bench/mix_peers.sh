#!/usr/bin/env bash
# Mixing eight stereo 16-bit 44.1 kHz sounds of ten minutes each: our offline mixer against
# sox -m and ffmpeg's amix, measured in one run on this machine, as times real time.
#
#   bench/mix_peers.sh [build-dir] [minutes]
#
# Ours is measured twice: from memory into a sink that discards the blocks (the engine's
# mixing alone), and from the same eight wave files into a wave file through the export
# protocol (the peers' job: files in, one file out).
set -euo pipefail
build=${1:-build}
minutes=${2:-10}
seconds=$((minutes * 60))
bench="$build/bin/mix_to_sink_bench"
[[ -x "$bench" ]] || { echo "build $bench first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/mix_peers.XXXXXX")
trap 'rm -rf "$work"' EXIT

. "$(dirname "$0")/peer_inputs.sh"

now() { date +%s.%N; }
times_real() { awk -v s="$seconds" -v t0="$1" -v t1="$2" 'BEGIN { printf "%.1f", s / (t1 - t0) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a / b }'; }

t0=$(now)
sox -m "${inputs[@]}" "$work/sox.wav"
t1=$(now)
sox_x=$(times_real "$t0" "$t1")

args=()
for f in "${inputs[@]}"; do args+=(-i "$f"); done
t0=$(now)
ffmpeg -v error -y "${args[@]}" -filter_complex "amix=inputs=8" -c:a pcm_s16le "$work/ffmpeg.wav"
t1=$(now)
ffmpeg_x=$(times_real "$t0" "$t1")

# The x_realtime column of one benchmark's CSV line.
figure() {
  TESSEL_MIX_FILES="$work" "$bench" --benchmark_filter="$1" --benchmark_format=csv 2>/dev/null |
    awk -F, 'NR == 1 { for (i = 1; i <= NF; ++i) if ($i ~ /x_realtime/) c = i }
             NR > 1 && c && $1 !~ /_(mean|median|stddev|cv)"?$/ { printf "%.1f", $c; exit }'
}
memory_x=$(figure "BM_MixToDataSink/${minutes}/")
files_x=$(figure "BM_MixFilesToWaveFile")
[[ -n "$memory_x" && -n "$files_x" ]] || { echo "no figures from $bench" >&2; exit 1; }

echo "8 x ${minutes} min, stereo 16-bit 44.1 kHz, times real time"
echo "  ours, memory to a discarding sink:  ${memory_x}"
echo "  ours, wave files to a wave file:    ${files_x}"
echo "  sox -m, wave files to a wave file:  ${sox_x}"
echo "  ffmpeg amix, files to a wave file:  ${ffmpeg_x}"
echo "  files to file, ours / sox:    $(ratio "$files_x" "$sox_x")"
echo "  files to file, ours / ffmpeg: $(ratio "$files_x" "$ffmpeg_x")"
