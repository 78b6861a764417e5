#!/usr/bin/env bash
# Rendering a session of eight mono 16-bit 22.05 kHz sounds of ten minutes each, all at 0, to
# 44.1 kHz stereo: quarl-cli against sox -m with its quick rate changer and ffmpeg's amix with
# aresample, on the same files, measured in one run on this machine.
#
#   bench/resample_peers.sh [build-dir] [minutes]
set -euo pipefail
. "$(dirname "$0")/cli_peers.sh"

inputs=()
placed=()
for i in 1 2 3 4 5 6 7 8; do
  f="$work/in$i.wav"
  sox -n -r 22050 -b 16 -c 1 "$f" synth "$seconds" sine $((110 * i)) vol 0.1
  inputs+=("$f")
  placed+=("$f@0")
done
"$cli" new "$work/session.sgp" "${placed[@]}"

measure "$cli" render "$work/session.sgp" "$work/ours.wav" --rate 44100 --channels 2
ours_s=$elapsed
rm -f "$work/ours.wav"

measure sox -m "${inputs[@]}" -c 2 "$work/sox.wav" rate -q 44100
sox_s=$elapsed
rm -f "$work/sox.wav"

args=()
for f in "${inputs[@]}"; do args+=(-i "$f"); done
measure ffmpeg -v error -y "${args[@]}" -filter_complex "amix=inputs=8,aresample=44100" -ac 2 \
  -c:a pcm_s16le "$work/ffmpeg.wav"
ffmpeg_s=$elapsed
rm -f "$work/ffmpeg.wav"

# The last ten seconds alone, with --from: only that stretch is mixed.
from=$(((seconds - 10) * 1000))
measure "$cli" render "$work/session.sgp" "$work/tail.wav" --rate 44100 --channels 2 --from "$from"
tail_s=$elapsed

echo "session of 8 x ${minutes} min, mono 16-bit 22.05 kHz, to 44.1 kHz stereo"
printf '  %-32s %8s x real time %8s s\n' \
  "quarl-cli render" "$(times_real "$ours_s")" "$ours_s" \
  "sox -m ... rate -q" "$(times_real "$sox_s")" "$sox_s" \
  "ffmpeg amix,aresample" "$(times_real "$ffmpeg_s")" "$ffmpeg_s"
echo "  ours / sox:    $(ratio "$sox_s" "$ours_s")   (aim >= 2)"
echo "  ours / ffmpeg: $(ratio "$ffmpeg_s" "$ours_s")"
echo "  last 10 s with --from: ${tail_s} s, $(awk -v a="$tail_s" -v b="$ours_s" \
  'BEGIN { printf "%.0f", 100 * a / (b > 0 ? b : 0.01) }') % of the whole render"
