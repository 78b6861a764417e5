# Sourced by the benchmarks that time quarl-cli against sox and ffmpeg: reads
# [build-dir] [minutes], checks the tools, makes a work folder that goes at exit (side files
# included), and defines the timing helpers.
build=${1:-build}
minutes=${2:-10}
seconds=$((minutes * 60))
cli="$build/bin/quarl-cli"
[[ -x "$cli" ]] || { echo "build $cli first" >&2; exit 1; }
for tool in sox ffmpeg /usr/bin/time; do
  command -v "$tool" > /dev/null || { echo "$tool is needed (scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/$(basename "$0" .sh).XXXXXX")
trap 'rm -rf "$work"' EXIT
# Side files (peaks) stay in the work folder; building them belongs to `new`, not the render.
export XDG_CACHE_HOME="$work/cache"

# Runs a command under /usr/bin/time; sets `elapsed` (s) and `peak_kb`.
measure() {
  local report="$work/time.txt"
  /usr/bin/time -o "$report" -f '%e %M' "$@"
  read -r elapsed peak_kb < "$report"
}
times_real() { awk -v s="$seconds" -v t="$1" 'BEGIN { printf "%.1f", s / (t > 0 ? t : 0.01) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
