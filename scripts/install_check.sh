#!/bin/sh
# Installs a build into a temporary prefix and runs what was installed: quarl-cli renders the
# installed example session to a wave and an MP3 (its libraries, strings and encoder found in the
# installed tree), the desktop entry and the session file type are checked with the desktop's
# own tools, and the installed program draws its window with the example session.
#   install_check.sh CMAKE BUILD_DIR
# Parts whose tools are missing are skipped with a note.
set -eu
cmake=$1
build=$(cd "$2" && pwd)
work=$(mktemp -d)
manifest="$build/install_manifest.txt"
# The install rewrites the build's manifest, which a user's uninstall reads: keep theirs.
if [ -e "$manifest" ]; then cp -p "$manifest" "$work/manifest.saved"; fi
restore() {
  if [ -e "$work/manifest.saved" ]; then
    cp -p "$work/manifest.saved" "$manifest"
  else
    rm -f "$manifest"
  fi
  rm -rf "$work"
}
trap restore EXIT
fail() { echo "install_check: $*" >&2; exit 1; }
skip() { echo "install_check: skipped: $*"; }

prefix="$work/usr"
unset DESTDIR LD_LIBRARY_PATH
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install failed"; }

bin="$prefix/bin"
share="$prefix/share"
engine=$(find "$prefix" -name libsonark.so)
[ -n "$engine" ] || fail "libsonark.so was not installed"
libdir=$(dirname "$engine")
for f in "$bin/quarl" "$bin/quarl-cli" "$libdir/libplatform.so" "$libdir/libtarnell.so" \
    "$libdir/libutilities.so" "$libdir/liblame_enc.so" "$share/tessel/quarl-strings.ini" \
    "$share/tessel/sonark-strings.ini" "$share/tessel/examples/example.sgp" \
    "$share/applications/quarl.desktop" "$share/icons/hicolor/scalable/apps/quarl.svg" \
    "$share/mime/packages/tessel-session.xml"; do
  [ -s "$f" ] || fail "not installed: ${f#"$prefix"/}"
done
source=$(cd "$(dirname "$0")/.." && pwd)
if [ -e "$source/quarl/resources/help.html" ] && [ ! -s "$share/tessel/help.html" ]; then
  fail "the help page was not installed"
fi
# The encoder stand-ins of the engine's tests stay in the build.
if find "$prefix" -name 'libbladeenc.so' | grep -q .; then fail "a test encoder was installed"; fi

# Every installed binary finds our libraries through its own folder, never the build's.
for f in "$bin/quarl" "$bin/quarl-cli" "$libdir"/*.so; do
  runpath=$(readelf -d "$f" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')
  case "$runpath" in
    *"$build"*) fail "$(basename "$f") still points into the build: $runpath" ;;
  esac
done
libdir=$(cd "$libdir" && pwd -P)
ldd "$bin/quarl-cli" >"$work/ldd.txt"
for lib in platform tarnell utilities sonark; do
  loaded=$(sed -n "s/^[[:space:]]*lib$lib\.so => \([^ ]*\) .*/\1/p" "$work/ldd.txt")
  if [ -z "$loaded" ] || [ "$(cd "$(dirname "$loaded")" && pwd -P)" != "$libdir" ]; then
    cat "$work/ldd.txt"
    fail "quarl-cli does not load the installed lib$lib.so"
  fi
done

export XDG_CACHE_HOME="$work/cache" QUARL_REGISTRY="$work/registry.reg" QUARL_AUDIO=null
cli="$bin/quarl-cli"
example="$share/tessel/examples/example.sgp"
# The engine's texts come from its strings file: without it the keys would show.
"$cli" info "$example" >"$work/info.txt" 2>&1 || { cat "$work/info.txt"; fail "info failed"; }
grep -q 'best *PCM, 44.100 kHz, 16 bit, Stereo' "$work/info.txt" ||
  { cat "$work/info.txt"; fail "quarl-cli did not find the engine's strings file"; }
"$cli" render "$example" "$work/example.wav" >"$work/render.log" 2>&1 ||
  { cat "$work/render.log"; fail "the wave render failed"; }
"$cli" render "$example" "$work/example.mp3" >>"$work/render.log" 2>&1 ||
  { cat "$work/render.log"; fail "the MP3 render failed (encoder library not found?)"; }
[ "$(head -c 4 "$work/example.wav")" = RIFF ] || fail "the wave has no RIFF header"
if command -v soxi >/dev/null 2>&1; then
  for f in example.wav example.mp3; do
    seconds=$(soxi -D "$work/$f")
    awk -v s="$seconds" 'BEGIN { exit !(s > 13.9 && s < 14.2) }' ||
      fail "$f lasts $seconds s, the session 14 s"
  done
else
  skip "soxi not found: the rendered files' lengths are not read back"
fi

if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate "$share/applications/quarl.desktop" || fail "the desktop entry is invalid"
else
  skip "desktop-file-validate not found (desktop-file-utils)"
fi

if command -v update-mime-database >/dev/null 2>&1; then
  # It reports a malformed package on its error stream and still succeeds.
  update-mime-database "$share/mime" >"$work/mime.log" 2>&1 ||
    { cat "$work/mime.log"; fail "update-mime-database failed"; }
  if grep -q '^Error' "$work/mime.log"; then
    cat "$work/mime.log"
    fail "the MIME package is malformed"
  fi
  grep -q '^[0-9]*:application/x-tessel-session:\*\.sgp$' "$share/mime/globs2" ||
    fail "the *.sgp glob is not in the MIME database"
  # The compiled magic: the type's section, then "RIFF" at 0 and, nested, "sess" at 8.
  LC_ALL=C awk '/^\[[0-9]+:application\/x-tessel-session\]/ { in_type = 1; next }
                /^\[/ { in_type = 0 }
                in_type && /^>0=.*RIFF/ { riff = 1 }
                in_type && riff && /^1>8=.*sess/ { sess = 1 }
                END { exit !(riff && sess) }' "$share/mime/magic" ||
    fail "the session magic (RIFF at 0, sess at 8) is not in the MIME database"
else
  skip "update-mime-database not found (shared-mime-info)"
fi

# The installed program starts, finds its strings file and opens the installed example session
# (the session's path is itself one of the texts).
QT_QPA_PLATFORM=offscreen "$bin/quarl" --grab "$work/window.png" --size 640x400 \
  >"$work/quarl.log" 2>&1 || { cat "$work/quarl.log"; fail "the installed quarl did not start"; }
[ "$(head -c 4 "$work/window.png" | tail -c 3)" = PNG ] || fail "quarl drew no picture"
if grep -q 'IDS_' "$work/quarl.log"; then cat "$work/quarl.log"; fail "quarl showed text keys"; fi
echo "install_check: the installed tree runs from $prefix"
