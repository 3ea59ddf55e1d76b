#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# End-to-end: veilcast keying a 1920x1080, 10-second H.264 clip (the demo
# plate with its subject moving) to ProRes 4444 with alpha, against the
# ffmpeg program's chromakey filter writing the same codec and pixel format
# from the same clip, both on all cores, side by side in one run. Prints the
# wall time, peak memory and CPU time of each and their ratios, against the
# goals of time <= 0.8x and peak memory <= 1.2x ffmpeg's; CPU time says
# what wall time cannot on a machine others are loading.
# Usage: bench/compare_ffmpeg_movie.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/cli/veilcast" demo "$work/demo" -q >/dev/null
ffmpeg -v error -loop 1 -framerate 24 -i "$work/demo/plate.exr" -t 10 \
  -vf "scale=1920:1080,scroll=horizontal=0.004,format=yuv420p,setparams=range=tv:colorspace=bt709:color_trc=bt709:color_primaries=bt709" \
  -c:v libx264 -crf 16 "$work/clip.mp4"
# The screen colour veilcast picks, as code values for ffmpeg's filter.
picked=$("$build/cli/veilcast" "$work/clip.mp4" -o "$work/probe.####.exr" --frames 1 -q | sed -n 's/^picked screen colour \([^ ]*\) .*/\1/p')
hex=$(echo "$picked" | awk -F, '{
  for (i = 1; i <= 3; i++) { l = $i; v = l < 0.018 ? 4.5 * l : 1.099 * l ^ 0.45 - 0.099; printf "%02X", int(v * 255 + 0.5) } }')

measure() {  # label, command...
  local label=$1; shift
  /usr/bin/time -f "%e %M %U %S" -o "$work/time" "$@" >/dev/null
  read -r seconds kib user system < "$work/time"
  printf '%-10s %6.2f s  %7.1f MiB peak  %6.2f s CPU\n' "$label" "$seconds" "$(echo "$kib / 1024" | bc -l)" \
    "$(echo "$user + $system" | bc -l)"
  echo "$seconds" > "$work/$label"
  echo "$kib" > "$work/$label.kib"
  echo "$user + $system" | bc -l > "$work/$label.cpu"
}

for run in 1 2 3; do
  measure ffmpeg ffmpeg -v error -y -i "$work/clip.mp4" -an \
    -vf "chromakey=color=0x$hex:similarity=0.12:blend=0.08,format=yuva444p10le" \
    -c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le "$work/ffmpeg.mov"
  measure veilcast "$build/cli/veilcast" "$work/clip.mp4" -o "$work/veilcast.mov" -q \
    --set "Screen Color=$picked" --set "Clip Black=0.12" --set "Clip White=0.9"
  printf 'run %d: time veilcast/ffmpeg %.2fx (goal <= 0.8x), CPU %.2fx, peak memory %.2fx (goal <= 1.2x)\n' "$run" \
    "$(echo "$(cat "$work/veilcast") / $(cat "$work/ffmpeg")" | bc -l)" \
    "$(echo "$(cat "$work/veilcast.cpu") / $(cat "$work/ffmpeg.cpu")" | bc -l)" \
    "$(echo "$(cat "$work/veilcast.kib") / $(cat "$work/ffmpeg.kib")" | bc -l)"
done
