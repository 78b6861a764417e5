#!/usr/bin/env bash
# The program opening big sessions, measured with `quarl --grab` (start-up, the background load
# and one full drawing of the window, then exit):
#  1. a session of 500 sounds whose peak files exist: wall time until every bar is drawn
#     (aim < 1 s);
#  2. a session of 8 one-hour sounds: the largest resident size (aim < 200 MB), the peaks
#     streamed from their files.
#
#   bench/quarl_open.sh [build-dir]
set -euo pipefail
build=${1:-build}
quarl="$build/bin/quarl"
cli="$build/bin/quarl-cli"
[[ -x "$quarl" && -x "$cli" ]] || { echo "build $quarl and $cli first" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/quarl_open.XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_CACHE_HOME="$work/cache" QUARL_REGISTRY="$work/registry.reg" QUARL_AUDIO=null
export QT_QPA_PLATFORM=offscreen

# 500 short sounds (10 distinct files, each placed 50 times), peaks made by `new`.
for i in $(seq 1 10); do
  sox -n -r 44100 -b 16 -c 2 "$work/s$i.wav" synth 4 sine $((110 * i)) vol 0.3
done
placed=()
for n in $(seq 0 499); do placed+=("$work/s$((n % 10 + 1)).wav@$((n * 700))"); done
"$cli" new "$work/many.sgp" "${placed[@]}" > /dev/null
/usr/bin/time -o "$work/t1" -f '%e %M' "$quarl" --grab "$work/many.png" --size 1920x1080 \
  "$work/many.sgp" 2> /dev/null
read -r seconds kb < "$work/t1"
echo "500 sounds with peak files: opened and drawn in ${seconds} s (aim < 1), ${kb} kB resident"

# Eight one-hour sounds (mono 8-bit 11025 Hz keeps the disk use at 320 MB).
placed=()
for i in $(seq 1 8); do
  sox -n -r 11025 -b 8 -c 1 "$work/h$i.wav" synth 3600 sine $((80 * i)) vol 0.3
  placed+=("$work/h$i.wav@0")
done
"$cli" new "$work/hours.sgp" "${placed[@]}" > /dev/null
/usr/bin/time -o "$work/t2" -f '%e %M' "$quarl" --grab "$work/hours.png" --size 1920x1080 \
  "$work/hours.sgp" 2> /dev/null
read -r seconds kb < "$work/t2"
echo "8 one-hour sounds: opened in ${seconds} s, largest resident size $((kb / 1024)) MB (aim < 200)"
