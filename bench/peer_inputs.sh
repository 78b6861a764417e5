# Sourced by the peer benchmarks: eight different signals of `seconds` seconds, stereo 16-bit
# 44.1 kHz, in "$work", listed in `inputs`; different, so no peer can take a shortcut over
# identical inputs.
inputs=()
for i in 1 2 3 4 5 6 7 8; do
  f="$work/in$i.wav"
  sox -n -r 44100 -b 16 -c 2 "$f" synth "$seconds" sine $((110 * i)) vol 0.1
  inputs+=("$f")
done
