#!/bin/sh
# Starts the built program under a real X server: it opens the example session, draws its window
# into a picture and exits cleanly, leaving no settings behind.
#   smoke_test.sh QUARL BIN_DIR
set -eu
quarl=$1
bin=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QUARL_REGISTRY="$work/registry.reg" XDG_CACHE_HOME="$work/cache" QUARL_AUDIO=null
unset QT_QPA_PLATFORM
xvfb-run -a -s "-screen 0 1280x1024x24" "$quarl" --grab "$work/window.png" --size 900x600 \
  "$bin/example.sgp"
test -s "$work/window.png" || { echo "no picture was written"; exit 1; }
test ! -e "$work/registry.reg" || { echo "a grab changed the settings"; exit 1; }
python3 - "$work/window.png" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG'
width, height = struct.unpack('>II', data[16:24])
assert (width, height) == (900, 600), (width, height)
PY
echo "quarl opened the example session under X and exited cleanly"
