#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Temporal steadiness of the automatic key on a moving synthetic shot.

Makes the shot with make_moving_shot.py (cached), keys it with `veilcast`
in several ways and scores each key against the exact mattes:
  * mean alpha MAE per frame (and the worst frame),
  * dtSSD: per pair of frames, sqrt of the summed squared error of the
    matte's frame-to-frame difference against the true difference; the mean
    over the pairs (the video-matting benchmark's measure of flicker),
and gives both as ratios to one fixed screen colour keying the same shot.

Beside the keys the command line makes, it scores keys of a denoised view of
the plate (made here, before keying): 3x3 binomial, motion-gated temporal
(the neighbouring frames averaged in where the pixel does not move), and its
causal form (a running mean of up to 8 earlier frames, restarted where the
pixel moves), which a streamed render could make.

For each key it also splits dtSSD: "attached" keeps only the error that
travels with the subject (each frame's error moved back by the subject's
known slide and averaged over the shot), the part no denoising can remove;
"rest" is what is left (sensor noise stretched by the clips, and errors fixed
to the backing).

    python3 bench/shot_bench.py --veilcast build/cli/veilcast [--shot /tmp/shot] [--screen green]
"""
import argparse
import os
import subprocess
import sys
import time

import numpy as np
import OpenImageIO as oiio

from make_moving_shot import shifted

HERE = os.path.dirname(os.path.abspath(__file__))


def read(path):
    buf = oiio.ImageBuf(path)
    return buf.get_pixels(oiio.FLOAT)


def write(path, pixels):
    h, w, c = pixels.shape
    spec = oiio.ImageSpec(w, h, c, oiio.FLOAT)
    spec.attribute("compression", "zip")
    out = oiio.ImageOutput.create(path)
    out.open(path, spec)
    out.write_image(np.ascontiguousarray(pixels, np.float32))
    out.close()


def binomial3(p):
    """Each pixel the 1-2-1 x 1-2-1 mean of its 3x3 neighbourhood (edges repeated)."""
    q = np.pad(p, ((1, 1), (1, 1), (0, 0)), mode="edge")
    rows = q[:-2] + 2 * q[1:-1] + q[2:]
    return (rows[:, :-2] + 2 * rows[:, 1:-1] + rows[:, 2:]) / 16.0


def temporal(frames, k=3.0):
    """Motion-gated: each frame averaged with its neighbours where they differ
    from it by less than `k` times the local noise (estimated from the 3x3
    binomial residual), else left as it is."""
    out = []
    for t, p in enumerate(frames):
        resid = np.abs(p - binomial3(p))
        sigma = binomial3(binomial3(resid)) * 1.6 + 1e-4
        acc, n = p.copy(), np.ones(p.shape[:2] + (1,), np.float32)
        for u in (t - 1, t + 1):
            if 0 <= u < len(frames):
                still = (np.abs(binomial3(frames[u]) - binomial3(p)).max(axis=2, keepdims=True)
                         < k * sigma.max(axis=2, keepdims=True) * 0.5)
                acc += np.where(still, frames[u], 0)
                n += still
        out.append(acc / n)
    return out


def causal(frames, k=1.5, most=8):
    """Motion-gated and causal: each pixel the mean of this frame and up to
    `most` - 1 frames before it, the run restarted where the 3x3 view differs
    from the run's by `k` times the local noise (as in `temporal`) or more."""
    out, state, n = [], None, None
    for p in frames:
        if state is None:
            state, n = p.copy(), np.ones(p.shape[:2] + (1,), np.float32)
        else:
            resid = np.abs(p - binomial3(p))
            sigma = binomial3(binomial3(resid)) * 1.6 + 1e-4
            still = (np.abs(binomial3(p) - binomial3(state)).max(axis=2, keepdims=True)
                     < k * sigma.max(axis=2, keepdims=True) * 0.5)
            n = np.where(still, np.minimum(n + 1, most), 1)
            state = np.where(still, state + (p - state) / n, p)
        out.append(state.copy())
    return out


def attached(alphas, truths, dx):
    """dtSSD of the error that travels with the subject alone, and of the rest."""
    shifts = [dx * (f - len(alphas) // 2) for f in range(len(alphas))]
    errors = [a - g for a, g in zip(alphas, truths)]
    mean = np.mean([shifted(e, -d) for e, d in zip(errors, shifts)], axis=0)
    travelling = [shifted(mean, d) for d in shifts]

    def dt(es):
        return float(np.mean([np.sqrt(np.sum((es[t] - es[t - 1]) ** 2)) for t in range(1, len(es))]))

    return dt(travelling), dt([e - m for e, m in zip(errors, travelling)])


def key(veilcast, src_dir, out_dir, frames, options):
    os.makedirs(out_dir, exist_ok=True)
    cmd = [veilcast, os.path.join(src_dir, "plate.####.exr"), "-o", os.path.join(out_dir, "k.####.exr"),
           "--frames", "1-%d" % frames, "-d", "float", "--quiet"] + options
    start = time.time()
    run = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, capture_output=True, text=True)
    seconds = time.time() - start
    if run.returncode != 0:
        sys.exit("%s failed:\n%s" % (" ".join(cmd), run.stderr))
    peak = int(run.stderr.strip().splitlines()[-1])
    chosen = [l for l in (run.stdout + run.stderr).splitlines() if "chose" in l]
    return [read(os.path.join(out_dir, "k.%04d.exr" % f))[..., 3] for f in range(1, frames + 1)], seconds, peak, chosen


def scores(alphas, truths):
    mae = [float(np.mean(np.abs(a - g))) for a, g in zip(alphas, truths)]
    dt = [float(np.sqrt(np.sum(((alphas[t] - alphas[t - 1]) - (truths[t] - truths[t - 1])) ** 2)))
          for t in range(1, len(alphas))]
    return mae, float(np.mean(dt))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--veilcast", default=os.path.join(HERE, "..", "build", "cli", "veilcast"))
    ap.add_argument("--samples", default="/work/shared/samples")
    ap.add_argument("--shot", default="/tmp/veilcast-shot")
    ap.add_argument("--work", default="/tmp/veilcast-shot-keys")
    ap.add_argument("--frames", type=int, default=24)
    ap.add_argument("--screen", default="green")
    ap.add_argument("--seed", type=int, default=3)
    ap.add_argument("--dx", type=int, default=3, help="the subject's slide per frame, in pixels")
    ap.add_argument("--no-denoise", action="store_true")
    args = ap.parse_args()

    shot = "%s-%s-%d%s" % (args.shot, args.screen, args.seed, "" if args.dx == 3 else "-dx%d" % args.dx)
    if not os.path.exists(os.path.join(shot, "truth.%04d.exr" % args.frames)):
        subprocess.run([sys.executable, os.path.join(HERE, "make_moving_shot.py"), "--samples", args.samples,
                        "--outdir", shot, "--frames", str(args.frames), "--screen", args.screen,
                        "--seed", str(args.seed), "--dx", str(args.dx)], check=True)
    truths = [read(os.path.join(shot, "truth.%04d.exr" % f))[..., 0] for f in range(1, args.frames + 1)]

    sources = {"plate": shot}
    if not args.no_denoise:
        plates = [read(os.path.join(shot, "plate.%04d.exr" % f))[..., :3] for f in range(1, args.frames + 1)]
        views = {"3x3": [binomial3(p) for p in plates], "temporal": temporal(plates), "causal": causal(plates)}
        views["temporal+3x3"] = [binomial3(p) for p in views["temporal"]]
        for name, frames in views.items():
            d = os.path.join(args.work, "src-" + name)
            os.makedirs(d, exist_ok=True)
            for f, p in enumerate(frames, 1):
                write(os.path.join(d, "plate.%04d.exr" % f), p)
            sources[name] = d

    ways = [("one fixed colour (first frame's pick)", []),
            ("--clip auto", ["--clip", "auto"]),
            ("--screen-map auto", ["--screen-map", "auto"]),
            ("--screen-map auto --clip auto", ["--screen-map", "auto", "--clip", "auto"]),
            ("--screen-map shot", ["--screen-map", "shot"]),
            ("--screen-map shot --clip auto", ["--screen-map", "shot", "--clip", "auto"])]
    base = None
    print("%-16s %-40s %8s %8s %8s %8s %8s %8s %7s %7s" % ("view", "key", "MAE", "worst", "dtSSD", "ratio", "attached",
                                                             "rest", "s", "MiB"))
    for source, src_dir in sources.items():
        for label, options in ways:
            if source != "plate" and options not in ([], ways[3][1], ways[5][1]):
                continue
            alphas, seconds, peak, chosen = key(args.veilcast, src_dir, os.path.join(args.work, "k"), args.frames,
                                                options)
            mae, dt = scores(alphas, truths)
            if base is None:
                base = (mae, dt)
            lower = all(m < b for m, b in zip(mae, base[0]))
            travelling, rest = attached(alphas, truths, args.dx)
            print("%-16s %-40s %8.4f %8.4f %8.2f %7.2fx %8.2f %8.2f %7.1f %7.0f %s" % (
                source, label, np.mean(mae), max(mae), dt, dt / base[1], travelling, rest, seconds, peak / 1024.0,
                "every frame below fixed" if lower and options else ""), flush=True)
            for c in chosen:
                print("    " + c)


if __name__ == "__main__":
    main()
