#!/bin/sh
# Checks the layering of libsonark: a folder includes only itself and the folders below it.
# The order runs from the bottom (the library's own root: errors, names, strings, engine lock)
# to the top. Prints each include that reaches up and fails when there is one.
set -eu
cd "$(dirname "$0")/.."
order=". containers mpeg render load model export mixer engine"
rank() { i=0; for f in $order; do [ "$f" = "$1" ] && { echo $i; return; }; i=$((i + 1)); done; echo -1; }
bad=0
for file in $(find sonark -name '*.h' -o -name '*.cpp' | grep -v '^sonark/tests/' | sort); do
  dir=$(dirname "${file#sonark/}")
  from=$(rank "$dir")
  if [ "$from" -lt 0 ]; then echo "$file: folder $dir has no place in the order"; bad=1; continue; fi
  for inc in $(sed -n 's|^#include <sonark/\(.*\)>.*|\1|p' "$file"); do
    to=$(rank "$(dirname "$inc")")
    if [ "$to" -gt "$from" ]; then echo "$file includes sonark/$inc, a layer above"; bad=1; fi
  done
done
[ $bad -eq 0 ] && echo "libsonark layers: every include points down ($order)"
exit $bad
