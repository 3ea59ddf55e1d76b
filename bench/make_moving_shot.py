#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A moving synthetic shot made with the shared plate generator
(make_synthetic_plate.py): the same subject, backing and lighting as its
plates, the subject (with its shadow and spill) sliding `--dx` pixels a frame
across the backing, fresh sensor noise every frame. Writes
plate.NNNN.exr (RGB float) and truth.NNNN.exr (A, the exact matte) for
frames 1..N into --outdir.

    python3 bench/make_moving_shot.py --samples /work/shared/samples --outdir /tmp/shot
"""
import argparse
import importlib.util
import os

import numpy as np


def shifted(a, dx):
    """`a` moved dx pixels right (left when negative), the uncovered side zero."""
    out = np.zeros_like(a)
    if dx > 0:
        out[:, dx:] = a[:, :-dx]
    elif dx < 0:
        out[:, :dx] = a[:, -dx:]
    else:
        out[:] = a
    return out


class Scaled:
    """The generator's random numbers, its noise scaled by `k`."""

    def __init__(self, rng, k):
        self.rng, self.k = rng, k

    def standard_normal(self, *a, **kw):
        return self.rng.standard_normal(*a, **kw) * self.k


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--samples", default="/work/shared/samples")
    ap.add_argument("--outdir", required=True)
    ap.add_argument("--frames", type=int, default=24)
    ap.add_argument("--dx", type=int, default=3)
    ap.add_argument("--width", type=int, default=960)
    ap.add_argument("--height", type=int, default=540)
    ap.add_argument("--seed", type=int, default=3)
    ap.add_argument("--screen", default="green", choices=["green", "blue"])
    ap.add_argument("--noise", type=float, default=1.0, help="scale of the sensor noise (0: none)")
    args = ap.parse_args()

    spec = importlib.util.spec_from_file_location("gen", os.path.join(args.samples, "make_synthetic_plate.py"))
    gen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen)

    h, w = args.height, args.width
    os.makedirs(args.outdir, exist_ok=True)
    rng = np.random.default_rng(args.seed)
    fg, subject_alpha = gen.build_foreground(h, w, rng)
    illum, drift = gen.backing_illumination(h, w, rng)
    for f in range(1, args.frames + 1):
        dx = args.dx * (f - 1 - args.frames // 2)
        fg_f, alpha_f = shifted(fg, dx), shifted(subject_alpha, dx)
        plate = gen.make_plate(fg_f, alpha_f, gen.SCREENS[args.screen], illum, drift, Scaled(rng, args.noise), h)
        gen.write_exr(os.path.join(args.outdir, "plate.%04d.exr" % f), plate, ["R", "G", "B"], gen.oiio.FLOAT,
                      "zip", "moving synthetic shot, frame %d" % f)
        gen.write_exr(os.path.join(args.outdir, "truth.%04d.exr" % f), fg_f[..., 3], ["A"], gen.oiio.FLOAT, "zip",
                      "true matte, frame %d" % f)


if __name__ == "__main__":
    main()
