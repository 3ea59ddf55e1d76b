#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Remakes docs/before-after.jpg, the README's picture, with the tool itself:
# the real plate keyed with no options (top) and with --screen-map auto
# --clip auto (bottom); left the matte panel of each preview sheet, right the
# result over the checkerboard. Run from the project root after a build.
set -eu
veilcast=${VEILCAST:-build/cli/veilcast}
plate=../shared/samples/real/uneven_green_wrinkled.png
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$veilcast" "$plate" -o "$work/before.exr" --preview "$work/before.png" --quiet
"$veilcast" "$plate" -o "$work/after.exr" --preview "$work/after.png" --screen-map auto --clip auto --quiet
# A 640x360 plate makes 640x360 panels, 4 pixels apart: source, matte, result.
for run in before after; do
    oiiotool "$work/$run.png" --cut 1284x360+644+0 --resize 640x180 -o "$work/$run-row.png"
done
oiiotool "$work/before-row.png" "$work/after-row.png" --mosaic:pad=4 1x2 --compression jpeg:85 \
         -o docs/before-after.jpg
