#!/usr/bin/env bash
# Rendering a session of eight stereo 16-bit 44.1 kHz sounds of ten minutes each, all at 0,
# with quarl-cli against sox -m and ffmpeg's amix on the same files, measured in one run on
# this machine: times real time and peak memory of each.
#
#   bench/session_peers.sh [build-dir] [minutes]
#
# All three read the eight wave files and write one 16-bit wave file. Peak memory is the
# maximum resident set size that /usr/bin/time reports.
set -euo pipefail
. "$(dirname "$0")/cli_peers.sh"
. "$(dirname "$0")/peer_inputs.sh"
placed=()
for f in "${inputs[@]}"; do placed+=("$f@0"); done
"$cli" new "$work/session.sgp" "${placed[@]}"

megabytes() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

measure "$cli" render "$work/session.sgp" "$work/ours.wav"
ours_s=$elapsed ours_kb=$peak_kb
rm -f "$work/ours.wav"

measure sox -m "${inputs[@]}" "$work/sox.wav"
sox_s=$elapsed sox_kb=$peak_kb
rm -f "$work/sox.wav"

args=()
for f in "${inputs[@]}"; do args+=(-i "$f"); done
measure ffmpeg -v error -y "${args[@]}" -filter_complex "amix=inputs=8" -c:a pcm_s16le \
  "$work/ffmpeg.wav"
ffmpeg_s=$elapsed ffmpeg_kb=$peak_kb
rm -f "$work/ffmpeg.wav"

ours_x=$(times_real "$ours_s")
sox_x=$(times_real "$sox_s")
ffmpeg_x=$(times_real "$ffmpeg_s")
echo "session of 8 x ${minutes} min, stereo 16-bit 44.1 kHz, to a wave file"
printf '  %-32s %8s x real time %8s s %8s MB peak\n' \
  "quarl-cli render" "$ours_x" "$ours_s" "$(megabytes "$ours_kb")" \
  "sox -m" "$sox_x" "$sox_s" "$(megabytes "$sox_kb")" \
  "ffmpeg amix" "$ffmpeg_x" "$ffmpeg_s" "$(megabytes "$ffmpeg_kb")"
echo "  ours / sox:    $(ratio "$ours_x" "$sox_x")   (aim >= 5)"
echo "  ours / ffmpeg: $(ratio "$ours_x" "$ffmpeg_x")   (aim >= 3)"
echo "  ours peak:     $(megabytes "$ours_kb") MB   (aim < 100)"
