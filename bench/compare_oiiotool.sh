#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# End-to-end: veilcast keying half-float, zip-compressed RGBA OpenEXR files
# against oiiotool merely copying the same files with the same compression,
# both on all cores, runs interleaved, medians reported:
#   4096x2160 frame: time and peak memory ratios (goals <= 1.0x and <= 0.5x)
#   7680x4320 frame: peak memory ratio (goal <= 0.35x)
#   24 frames of 2048x1152 in one run: time ratio (goal <= 0.9x)
# The plates are a lit green backing with grain and a grey subject, so they
# compress like footage rather than like noise. The screen colour is given,
# as a batch run with saved settings has it; the automatic pick reads a frame
# once more (see the README).
# Usage: bench/compare_oiiotool.sh [BUILD_DIR] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
key=(-q --set "Screen Color=0.1,0.6,0.1" --set "Clip Black=0.05")

plate() {  # width height output
  oiiotool --pattern fill:top=0.08,0.55,0.1:bottom=0.05,0.4,0.07 "$1x$2" 4 \
    --pattern noise:type=gaussian:mean=0:stddev=0.02 "$1x$2" 4 --add \
    --pattern fill:color=0.4,0.35,0.3,1 "$(($1 / 3))x$(($2 / 2))" 4 --origin "+$(($1 / 3))+$(($2 / 3))" \
    --over -d half --compression zip -o "$3"
}

measure() {  # label, command...
  local label=$1; shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null
  cat "$work/time" >> "$work/$label"
}

median() {  # file column
  sort -g -k"$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

report() {  # name a b goal-text column
  local a b
  a=$(median "$work/$2" "$5"); b=$(median "$work/$3" "$5")
  printf '%-50s %10s %10s  %.2fx  (goal %s)\n' "$1" "$a" "$b" "$(echo "$a / $b" | bc -l)" "$4"
}

plate 4096 2160 "$work/4k.exr"
plate 7680 4320 "$work/8k.exr"
plate 2048 1152 "$work/2k.exr"
for f in $(seq 1 24); do cp "$work/2k.exr" "$work/seq.$(printf %04d "$f").exr"; done

for run in $(seq 1 "$runs"); do
  measure oiio4k oiiotool "$work/4k.exr" --compression zip -o "$work/copy4k.exr"
  measure vc4k "$build/cli/veilcast" "$work/4k.exr" -o "$work/key4k.exr" "${key[@]}"
  # What the zip encoder costs on the keyed result rather than on the plate.
  measure oiiokeyed4k oiiotool "$work/key4k.exr" --compression zip -o "$work/copykeyed4k.exr"
  measure oiio8k oiiotool "$work/8k.exr" --compression zip -o "$work/copy8k.exr"
  measure vc8k "$build/cli/veilcast" "$work/8k.exr" -o "$work/key8k.exr" "${key[@]}"
  measure oiioseq oiiotool --frames 1-24 "$work/seq.#.exr" --compression zip -o "$work/copy.#.exr"
  measure vcseq "$build/cli/veilcast" "$work/seq.####.exr" --frames 1-24 -o "$work/key.####.exr" "${key[@]}"
done

printf '%-50s %10s %10s  ratio\n' "median of $runs runs" veilcast oiiotool
report "4096x2160 time (s)" vc4k oiio4k "<= 1.0x" 1
report "4096x2160 peak memory (KiB)" vc4k oiio4k "<= 0.5x" 2
report "4096x2160 time, against copying the keyed result" vc4k oiiokeyed4k "none" 1
report "7680x4320 peak memory (KiB)" vc8k oiio8k "<= 0.35x" 2
report "7680x4320 time (s)" vc8k oiio8k "none" 1
report "24 x 2048x1152 time (s)" vcseq oiioseq "<= 0.9x" 1
report "24 x 2048x1152 peak memory (KiB)" vcseq oiioseq "none" 2
