#!/bin/sh
# Installs the Debian packages that building, testing and the peer benchmarks need,
# skipping those already present. Runs apt-get as root, or through sudo.
set -eu
packages="make cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  portaudio19-dev libmpg123-dev libmp3lame-dev libcurl4-openssl-dev libinih-dev qt6-base-dev
  sox libsox-fmt-all ffmpeg lame mpg123 id3v2 alsa-utils xvfb xauth fonts-dejavu-core python3 time
  desktop-file-utils shared-mime-info"
missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
echo "setup: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# shellcheck disable=SC2086
$sudo apt-get install -y -q --no-install-recommends $missing
