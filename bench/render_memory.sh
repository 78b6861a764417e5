#!/usr/bin/env bash
# What a render holds while many short sounds play one after another: 1,100 back-to-back
# five-second stereo 44.1 kHz sounds (eleven files, each placed 100 times), rendered by
# quarl-cli. Prints the peak resident memory and the most descriptors open at once.
#
#   bench/render_memory.sh [build-dir] [sounds]
set -euo pipefail
build=${1:-build}
count=${2:-1100}
cli="$build/bin/quarl-cli"
[[ -x "$cli" ]] || { echo "build $cli first" >&2; exit 1; }
for tool in sox /usr/bin/time; do
  command -v "$tool" > /dev/null || { echo "$tool is needed (scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/render_memory.XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_CACHE_HOME="$work/cache"

placed=()
for i in $(seq 0 10); do
  sox -n -r 44100 -b 16 -c 2 "$work/s$i.wav" synth 5 sine $((220 + 20 * i)) vol 0.2
done
for n in $(seq 0 $((count - 1))); do placed+=("$work/s$((n % 11)).wav@$((n * 5000))"); done
"$cli" new "$work/session.sgp" "${placed[@]}" > /dev/null

# The mix goes into a FIFO that is read and thrown away. Descriptors are sampled every 10 ms:
# the render holds every file the load opened until its mixing starts by putting the sounds to
# rest, so the samples from the first drop on are those of the mixing.
mkfifo "$work/out.wav"
cat "$work/out.wav" > /dev/null &
reader=$!
trap 'kill "$reader" 2> /dev/null; rm -rf "$work"' EXIT
/usr/bin/time -o "$work/time.txt" -f '%e %M' "$cli" render "$work/session.sgp" "$work/out.wav" &
runner=$!
before=0
mixing=0
dropped=0
while kill -0 "$runner" 2> /dev/null; do
  render=$(pgrep -P "$runner" -x quarl-cli | head -n 1 || true)
  if [[ -n "$render" ]]; then
    fds=$(find "/proc/$render/fd" -mindepth 1 2> /dev/null | wc -l || true)
    if ((dropped == 0 && fds < before / 2)); then dropped=1; fi
    if ((dropped)); then
      ((fds > mixing)) && mixing=$fds
    else
      ((fds > before)) && before=$fds
    fi
  fi
  sleep 0.01
done
wait "$runner"
read -r elapsed peak_kb < "$work/time.txt"
echo "$count back-to-back 5 s stereo 44.1 kHz sounds rendered in ${elapsed} s"
echo "  peak resident memory:                 $(awk -v k="$peak_kb" 'BEGIN { printf "%.1f", k / 1024 }') MB"
echo "  most descriptors open, before mixing: $before"
echo "  most descriptors open, while mixing:  $mixing"
