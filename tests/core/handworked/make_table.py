#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Chooses the hand-worked cases of tests/core/HandWorkedTest.cpp and prints
their rows. For each step of the keyer it keeps a few ordinary-looking cases
(gain 1.1, balance 0.3, two-decimal values) such that every misreading listed
for that step changes at least one bit of at least one case, plus designed
cases for the boundaries (NaN, 0, -0, values above 1). Run once:
python3 make_table.py > table.txt; the rows were pasted into the test.
"""
import random
import sys

from keyer_f32 import INF, NAN, bits, f32, key_pixel, params, analyse

random.seed(2026)


def r2(lo, hi):
    return round(random.uniform(lo, hi), 2)


def ordinary(mode=0, sourceAlpha=0, **over):
    def gen():
        p = params(screen=[r2(0, .3), r2(.5, .9), r2(0, .3)], balance=0.3, gain=1.1, mode=mode,
                   sourceAlpha=sourceAlpha, replace=[r2(.1, .9), r2(.1, .9), r2(.1, .9)], **over)
        P = [r2(0, .6), r2(.2, .9), r2(0, .6)]
        a = r2(.2, .9) if sourceAlpha else None
        return (p, P, a)
    return gen


def differs(case, fault):
    p, P, a = case
    want = key_pixel(p, P, a)
    got = key_pixel(p, P, a, (fault,))
    w = [bits(x) if x == x else "nan" for x in want[0] + [want[1]]]
    g = [bits(x) if x == x else "nan" for x in got[0] + [got[1]]]
    if w != g:
        return True
    if fault.startswith("screen_"):  # also seen in the screen difference itself
        return bits(analyse(p)[3]) != bits(analyse(p, (fault,))[3])
    return False


def choose(gen, faults, tries=4000):
    """Greedy: the fewest ordinary cases that tell every fault apart."""
    cases, left = [], set(faults)
    while left:
        best, caught = None, set()
        for _ in range(tries):
            c = gen()
            got = {f for f in left if differs(c, f)}
            if len(got) > len(caught):
                best, caught = c, got
        if not best:
            sys.exit("no case found for " + ", ".join(sorted(left)))
        cases.append(best)
        left -= caught
    return cases


def hexbits(x):
    return "kNaN" if x != x else "0x%08X" % bits(x)


def cfloat(x):
    if x != x:
        return "kNaN"
    if x in (INF, -INF):
        return ("-" if x < 0 else "") + "kInf"
    if x == 0 and str(x).startswith("-"):
        return "-0.0f"
    s = repr(f32(x))
    for digits in range(1, 10):  # shortest decimal that rounds to the same float
        t = "%.*g" % (digits, x)
        if f32(float(t)) == f32(x):
            s = t
            break
    if "e" not in s and "." not in s:
        s += ".0"
    return s + "f"


def row(note, case):
    p, P, a = case
    D, alpha = key_pixel(p, P, a)
    S, R = p["screen"], p["replace"]
    out = "        // %s\n" % note
    out += "        {{%s, %s, %s}, %s, %s, %s, %s, %d, %d, {%s, %s, %s},\n" % (
        cfloat(S[0]), cfloat(S[1]), cfloat(S[2]), cfloat(p["gain"]), cfloat(p["balance"]),
        cfloat(p["clipBlack"]), cfloat(p["clipWhite"]), p["mode"], p["sourceAlpha"],
        cfloat(R[0]), cfloat(R[1]), cfloat(R[2]))
    out += "         {%s, %s, %s}, %s, {%s, %s, %s, %s}},\n" % (
        cfloat(P[0]), cfloat(P[1]), cfloat(P[2]), "kNoAlpha" if a is None else cfloat(a),
        hexbits(D[0]), hexbits(D[1]), hexbits(D[2]), hexbits(alpha))
    return out


groups = {}

g = "Step3Differences"
faults = ["screen_diff_left", "screen_diff_lerp", "pixel_diff_left", "pixel_diff_lerp"]
groups[g] = (faults, [("ordinary", c) for c in choose(ordinary(), faults)])

g = "Step4ScreenSubtraction"
faults = ["c_gain_squared", "d_e_minus_k", "d_k_first", "d_gain_distributed"]
cases = [("ordinary", c) for c in choose(ordinary(), faults)]
# v = 0 exactly (0.1 - ((0.5 * -0.2) + (0.5 * 0.4)) = 0.1 - 0.1), negative red:
# keyed with w = 0, so D = P and the negative red becomes 0 (v > 0 instead of
# v >= 0 would leave D = P with -0.2).
cases.append(("v = 0 with a negative channel: keyed, D = P clamped at 0",
              (params(), [-0.2, 0.1, 0.4], None)))
# Screen (0, 1, -2): green primary, blue lesser, red greater, difference 2,
# average -1/3. Pixel (0, 3e38, -3e38): v = 3e38 + 1.5e38 overflows, w = inf,
# E = -inf, gain -1: k = +inf. Red: 0 * inf is NaN; blue: -inf - -inf is NaN;
# both become 0. Green: P - (((inf + inf) + inf) * -1) = +inf stays.
cases.append(("NaN D[c] (0 times an infinite w, inf - inf) becomes 0",
              (params(screen=[0, 1, -2], gain=-1), [0, 3e38, -3e38], None)))
groups[g] = (faults + ["v_strict", "nan_d_kept"], cases)

g = "Step5MatteFloor"
# Screen (0.5, 0.6, 0), balance 2: difference 0.6 - (-0 + 1) = -0.4 < 0, so D = P.
# v = 3e38, w = 3e38 / -0.4 = -inf, C = 1 - ((0 * -inf) * 0) = NaN. The rule
# raises a NaN C to mx = 3e38, H = 1 after step 6; "H = mx if C <= 0 else
# max(C, mx)" would keep NaN and clip everything to 0.
groups[g] = (["floor_simplified"], [
    ("NaN C (gain 0 times an infinite w) is raised to the largest channel",
     (params(screen=[.5, .6, 0], balance=2, gain=0), [0, 3e38, 0], None)),
    ("ordinary, C above the floor",
     (params(screen=[.1, .8, .2], balance=.3, gain=1.1), [.3, .45, .2], None))])

g = "Step6Clamp"
# Not keyed (v < 0): C = 1, the smallest channel 1.2 > 1 raises C to 1.5; H is
# clamped to 1 before clip black 0.2 re-stretches (t = 0.8 / 0.8 = 1, s = 1).
groups[g] = (["no_clamp"], [
    ("a pixel brighter than 1, clip black 0.2",
     (params(clipBlack=.2), [1.5, 1.2, 1.3], None))])

g = "Step7ClipBlack"
faults = ["stretch_dt_over_h", "stretch_d_over_h_times_t"]
cases = [("ordinary, clip black 0.2", c) for c in choose(ordinary(clipBlack=.2), faults)]
cases.append(("matte 0.55 at or below clip black 0.6: colour (0.2, 0.15, 0.1) becomes black",
              (params(clipBlack=.6), [.2, .6, .1], None)))
cases.append(("NaN clip black: H > NaN is false, so the pixel is clipped to black",
              (params(clipBlack=NAN), [.2, .6, .1], None)))
groups[g] = (faults + ["clip_keeps_colour", "clip_le"], cases)

g = "Step8ClipWhite"
groups[g] = (["white_strict"], [
    ("pixel equal to the screen (H = 0), clip white 0: H >= 0 gives K = 1",
     (params(clipWhite=0), [0, 1, 0], None)),
    ("pixel (0.2, 0.6, 0.1), H = 0 after clip black 0.6, clip white -0: 0 >= -0",
     (params(clipBlack=.6, clipWhite=-0.0), [.2, .6, .1], None)),
    ("ordinary, clip white 0.8",
     (params(screen=[.1, .8, .2], balance=.3, gain=1.1, clipWhite=.8), [.3, .6, .2], None))])

g = "Step9LuminanceFill"
faults = ["lum_right", "lum_red_blue_first"]
groups[g] = (faults, [("ordinary, clip white 0.8", c) for c in choose(ordinary(clipWhite=.8), faults)])

g = "Step10InsideReplacement"
cases = [("Source, alpha as mask", c) for c in choose(ordinary(1, 2), ["source_lerp", "source_expanded"])]
cases += [("Hard Color, partial matte: u = (1 - K) m differs from m", c)
          for c in choose(ordinary(2, 2), ["hard_uses_m"])]
cases += [("Soft Color", c) for c in choose(ordinary(3, 2), ["soft_u_over_lumr", "soft_ratio_first", "lum_right", "lum_red_blue_first"])]
groups[g] = (["source_lerp", "source_expanded", "hard_uses_m", "soft_u_over_lumr", "soft_ratio_first", "lum_right", "lum_red_blue_first"], cases)

ok = True
for name, (faults, cases) in groups.items():
    print("    // %s" % name)
    for note, c in cases:
        print(row(note, c), end="")
    for f in faults:
        caught = [i for i, (_, c) in enumerate(cases) if differs(c, f)]
        print("    //   %-26s fails rows %s" % (f, caught))
        ok = ok and bool(caught)
    sa = [analyse(c[0]) for _, c in cases]
    print("    //   screen differences: %s" % ", ".join("0x%08X" % bits(a[3]) for a in sa))
print("all faults caught" if ok else "SOME FAULT NOT CAUGHT")
