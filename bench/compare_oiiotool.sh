#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# End-to-end: veilcast keying a 4096x2160 half-float OpenEXR file against
# oiiotool reading and writing the same file with the same compression and no
# processing, both on all cores. Prints wall time and peak memory of each.
# Usage: bench/compare_oiiotool.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

oiiotool --pattern noise:type=uniform:min=0:max=0.8 4096x2160 4 -d half --compression zip -o "$work/plate.exr"

measure() {  # label, command...
  local label=$1; shift
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null
  read -r seconds kib < "$work/time"
  printf '%-10s %6.2f s  %7.1f MiB peak\n' "$label" "$seconds" "$(echo "$kib / 1024" | bc -l)"
  echo "$seconds $kib" > "$work/$label"
}

for run in 1 2 3; do
  measure oiiotool oiiotool "$work/plate.exr" --compression zip -o "$work/copy.exr"
  measure veilcast "$build/cli/veilcast" "$work/plate.exr" -o "$work/keyed.exr" -q \
    --set "Screen Color=0.1,0.6,0.1" --set "Clip Black=0.05"
  read -r ts tm < "$work/oiiotool"; read -r vs vm < "$work/veilcast"
  printf 'run %d: time veilcast/oiiotool %.2fx (goal <= 1.2x), peak memory %.2fx (goal <= 1.5x)\n' \
    "$run" "$(echo "$vs / $ts" | bc -l)" "$(echo "$vm / $tm" | bc -l)"
done
