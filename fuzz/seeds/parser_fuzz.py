#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes seeds for parser_fuzz into the folder given: settings lines, values
of every kind, frame ranges, patterns and boxes, as users write them."""
import os
import sys

SEEDS = [
    "Screen Color=0.1,0.6,0.1\nClip Black = 0.05 # comment\n",
    "\xef\xbb\xbfScreenGainKnob=1.1\n",
    "Inside Replace=Hard Color\nSource Alpha=2\nCheck Alpha=on\n",
    "0.25", "1,2,3", "on", "Soft Color", "1e40", "-0", "nan",
    "1001-1100", "1001-1100x2", "5, 1-2", "-2147483648-2147483647", "1-99999999999",
    "plate.####.exr", "p.%04d.exr", "take\\#2.@@@.exr", "100%%.%d.exr",
    "40,40,120,90", "auto",
]

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for i, seed in enumerate(SEEDS):
    with open(os.path.join(out, "seed-%02d" % i), "wb") as f:
        f.write(seed.encode("latin-1") if seed.startswith("\xef") else seed.encode())
