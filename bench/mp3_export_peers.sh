#!/usr/bin/env bash
# Rendering sessions to MP3 at 192 kbit/s CBR, in one run on this machine:
#  1. a session of one ten-minute stereo 44.1 kHz sound: quarl-cli against the lame command on
#     the same wave (the encoder does nearly all the work; the aim is at least 0.9x lame's speed);
#  2. a session of eight such sounds: quarl-cli straight to MP3 against the two steps a user
#     would otherwise take, quarl-cli to a wave and lame on that (the aim is to beat the two).
# lame runs with the settings quarl-cli uses: stereo (not joint) and its default quality -q 3.
#
#   bench/mp3_export_peers.sh [build-dir] [minutes]
set -euo pipefail
. "$(dirname "$0")/cli_peers.sh"
command -v lame > /dev/null || { echo "lame is needed (scripts/setup.sh)" >&2; exit 1; }
[[ -e "$build/bin/liblame_enc.so" ]] || { echo "build liblame_enc.so first" >&2; exit 1; }

# 1. One sound: music-like noise under a tone, so the encoder has real work.
single="$work/single.wav"
sox -n -r 44100 -b 16 -c 2 "$single" synth "$seconds" pinknoise synth "$seconds" sine mix 440 vol 0.3
"$cli" new "$work/single.sgp" "$single@0" > /dev/null

measure "$cli" render "$work/single.sgp" "$work/ours1.mp3" --bitrate 192
ours1_s=$elapsed ours1_kb=$peak_kb
measure lame --quiet -b 192 -m s -q 3 "$single" "$work/lame1.mp3"
lame1_s=$elapsed lame1_kb=$peak_kb
rm -f "$work"/*.mp3 "$single"

# 2. Eight sounds.
. "$(dirname "$0")/peer_inputs.sh"
placed=()
for f in "${inputs[@]}"; do placed+=("$f@0"); done
"$cli" new "$work/eight.sgp" "${placed[@]}" > /dev/null

measure "$cli" render "$work/eight.sgp" "$work/ours8.mp3" --bitrate 192
ours8_s=$elapsed ours8_kb=$peak_kb
measure "$cli" render "$work/eight.sgp" "$work/mix.wav"
wave_s=$elapsed
measure lame --quiet -b 192 -m s -q 3 "$work/mix.wav" "$work/lame8.mp3"
lame8_s=$elapsed
two_s=$(awk -v a="$wave_s" -v b="$lame8_s" 'BEGIN { printf "%.2f", a + b }')

megabytes() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
echo "one ${minutes}-min stereo 44.1 kHz sound to MP3, 192 kbit/s CBR"
printf '  %-36s %8s x real time %8s s %8s MB peak\n' \
  "quarl-cli render" "$(times_real "$ours1_s")" "$ours1_s" "$(megabytes "$ours1_kb")" \
  "lame -b 192 -m s" "$(times_real "$lame1_s")" "$lame1_s" "$(megabytes "$lame1_kb")"
echo "  ours / lame speed: $(ratio "$lame1_s" "$ours1_s")   (aim >= 0.9)"
echo "eight ${minutes}-min sounds to MP3, 192 kbit/s CBR"
printf '  %-36s %8s x real time %8s s\n' \
  "quarl-cli render to MP3" "$(times_real "$ours8_s")" "$ours8_s" \
  "quarl-cli render to wave, then lame" "$(times_real "$two_s")" "$two_s"
echo "  ours / two steps speed: $(ratio "$two_s" "$ours8_s")   (aim > 1)"
