#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the seed corpus of kernel_fuzz (layout in fuzz/KernelFuzz.cpp):
plausible green- and blue-screen spans with every replace mode, source alpha
mode and a few hostile values, generated here (nothing read from samples)."""
import os
import random
import struct
import sys

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
rng = random.Random(9)


def seed(name, flags, mode, source_alpha, screen, replace, cb, cw, gain, balance, x, stop, pixels):
    data = struct.pack("<Bbb", flags, mode, source_alpha)
    data += struct.pack("<10f", *screen, *replace, cb, cw, gain, balance)
    data += struct.pack("<BH", x, stop)
    for px in pixels:
        data += struct.pack("<4f", *px)
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)


def span(n, screen, spread=0.3):
    px = []
    for _ in range(n):
        if rng.random() < 0.5:
            px.append([min(1.0, max(0.0, s + rng.uniform(-0.05, 0.05))) for s in screen] + [rng.random()])
        else:
            px.append([rng.uniform(0, 1) for _ in range(3)] + [rng.uniform(-0.2, 1.2)])
    return px


green, blue = (0.08, 0.55, 0.12), (0.1, 0.2, 0.7)
i = 0
for screen in (green, blue):
    for mode in range(4):
        for source_alpha in range(3):
            flags = (i % 2) | 2 * ((i // 2) % 2)
            n = [1, 7, 16, 33, 130][i % 5]
            seed("span-%02d" % i, flags, mode, source_alpha, screen, (0.5, 0.5, 0.5), 0.05 * (i % 3), 0.9,
                 1.0 + 0.1 * (i % 4), 0.3 + 0.2 * (i % 3), i % 19, 65535 if i % 3 else n // 2, span(n, screen))
            i += 1
# Boundaries: the defaults (black screen), a pixel equal to the screen, huge
# and tiny values, NaN and infinities, a clip black of 1, clip white 0.
inf, nan = float("inf"), float("nan")
seed("defaults", 2, 3, 0, (0, 0, 0), (0.5, 0.5, 0.5), 0, 1, 1, 0.5, 0, 65535, span(9, green))
seed("equal-to-screen", 0, 3, 0, (0, 1, 0), (0.5, 0.5, 0.5), 0, 1, 1, 0.5, 3, 65535, [[0, 1, 0, 1]] * 20)
seed("hostile", 3, 2, 2, (0, 1, -2), (1, 0, 0), 1, 0, -1, 2, 1, 65535,
     [[0, 3e38, -3e38, 0.5], [nan, 0.6, 0.1, nan], [inf, -inf, 1e-45, -0.0], [1.5, 1.2, 1.3, 7]] * 5)
seed("zero-luminance", 2, 3, 1, green, (0.7154, -0.2125, 0), 0, 1, 1, 0.5, 0, 65535, span(17, green))
