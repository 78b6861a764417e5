# Sourced by the playback benchmarks: reads [build-dir] [seconds], makes a work folder that goes
# at exit, a session of `tracks` (default 16) different stereo 16-bit 44.1 kHz sounds of
# `seconds` each, all at 0, in "$work/session.sgp", and defines play_measured and the busy
# machine (start_compilers, stop_compilers).
build=${1:-build}
seconds=${2:-$default_seconds}
tracks=${tracks:-16}
cli="$build/bin/quarl-cli"
[[ -x "$cli" ]] || { echo "build $cli first" >&2; exit 1; }
for tool in sox /usr/bin/time; do
  command -v "$tool" > /dev/null || { echo "$tool is needed (scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/$(basename "$0" .sh).XXXXXX")
# Two compiler processes building one of the engine's larger sources over and over, as a busy
# machine; stop_compilers ends them (and the compiler running at the moment). Needs g++.
compilers=()
start_compilers() {
  command -v g++ > /dev/null || { echo "g++ is needed (scripts/setup.sh)" >&2; exit 1; }
  local root n
  root=$(cd "$(dirname "$0")/.." && pwd)
  for n in 1 2; do
    (
      while :; do
        g++ -std=c++20 -O2 -I"$root" -c "$root/sonark/mixer/pcm_mixer.cpp" -o "$work/load$n.o"
      done
    ) > /dev/null 2>&1 &
    compilers+=($!)
  done
  # Let both get going first.
  sleep 2
}
stop_compilers() {
  local pid
  for pid in "${compilers[@]}"; do
    pkill -P "$pid" 2> /dev/null || true
    kill "$pid" 2> /dev/null || true
  done
  wait "${compilers[@]}" 2> /dev/null || true
  compilers=()
}
cleanup() {
  stop_compilers
  rm -rf "$work"
}
trap cleanup EXIT
# Peaks are built by `new` and cached here, so the play only loads them.
export XDG_CACHE_HOME="$work/cache"

placed=()
for i in $(seq 1 "$tracks"); do
  sox -n -r 44100 -b 16 -c 2 "$work/t$i.wav" synth "$seconds" sine $((55 * i)) vol 0.05
  placed+=("$work/t$i.wav@0")
done
"$cli" new "$work/session.sgp" "${placed[@]}" > /dev/null

# Plays the session in real time on the clock-paced null device under /usr/bin/time; sets
# `elapsed` (s), `cpu` (user + system s) and `underruns` (from quarl-cli's warning, 0 without).
play_measured() {
  QUARL_AUDIO=null /usr/bin/time -o "$work/time.txt" -f '%e %U %S' \
    "$cli" play "$work/session.sgp" 2> "$work/play.err"
  local user sys
  read -r elapsed user sys < "$work/time.txt"
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  underruns=$(grep -o 'fill [0-9]* gap' "$work/play.err" | grep -o '[0-9]*' || true)
  underruns=${underruns:-0}
}
percent() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", 100 * a / b }'; }

