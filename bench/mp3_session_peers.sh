#!/usr/bin/env bash
# Rendering a session of eight ten-minute MP3 sounds (stereo 44.1 kHz, 128 kbit/s), all at 0,
# to a wave file: quarl-cli against ffmpeg's amix and sox -m on the same MP3 files, in one run
# on this machine: times real time and peak memory of each. Every one of them decodes the
# eight MP3s and mixes them.
#
#   bench/mp3_session_peers.sh [build-dir] [minutes]
#
# The session is made (and the sounds scanned for their side files) before the timing, as a
# user's session would be; the render is what is timed.
set -euo pipefail
. "$(dirname "$0")/cli_peers.sh"
command -v lame > /dev/null || { echo "lame is needed (scripts/setup.sh)" >&2; exit 1; }
. "$(dirname "$0")/peer_inputs.sh"
mp3s=()
for f in "${inputs[@]}"; do
  lame --quiet -b 128 "$f" "${f%.wav}.mp3" &
  mp3s+=("${f%.wav}.mp3")
done
wait
rm -f "${inputs[@]}"
placed=()
for f in "${mp3s[@]}"; do placed+=("$f@0"); done
"$cli" new "$work/session.sgp" "${placed[@]}" > /dev/null

megabytes() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

measure "$cli" render "$work/session.sgp" "$work/ours.wav"
ours_s=$elapsed ours_kb=$peak_kb
rm -f "$work/ours.wav"

args=()
for f in "${mp3s[@]}"; do args+=(-i "$f"); done
measure ffmpeg -v error -y "${args[@]}" -filter_complex "amix=inputs=8" -c:a pcm_s16le \
  "$work/ffmpeg.wav"
ffmpeg_s=$elapsed ffmpeg_kb=$peak_kb
rm -f "$work/ffmpeg.wav"

measure sox -m "${mp3s[@]}" "$work/sox.wav"
sox_s=$elapsed sox_kb=$peak_kb
rm -f "$work/sox.wav"

ours_x=$(times_real "$ours_s")
sox_x=$(times_real "$sox_s")
ffmpeg_x=$(times_real "$ffmpeg_s")
echo "session of 8 x ${minutes} min MP3 (128 kbit/s, stereo 44.1 kHz), to a wave file"
printf '  %-32s %8s x real time %8s s %8s MB peak\n' \
  "quarl-cli render" "$ours_x" "$ours_s" "$(megabytes "$ours_kb")" \
  "ffmpeg amix" "$ffmpeg_x" "$ffmpeg_s" "$(megabytes "$ffmpeg_kb")" \
  "sox -m" "$sox_x" "$sox_s" "$(megabytes "$sox_kb")"
echo "  ours / ffmpeg: $(ratio "$ours_x" "$ffmpeg_x")   (aim >= 2)"
echo "  ours / sox:    $(ratio "$ours_x" "$sox_x")"
