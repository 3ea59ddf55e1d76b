#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""An independent single-precision model of the screen keyer's arithmetic,
written from its numbered steps (not from the C++), used once to work out
the bit patterns in tests/core/HandWorkedTest.cpp.

Every +, -, *, / is done in Python (double) on two single-precision values
and rounded to single precision, which gives the correctly rounded single
result. Comparisons with NaN are false, as in the keyer.

`faults` names deliberate misreadings; with them the model shows that each
table case tells the misreading apart. Run: python3 keyer_f32.py
"""
import math
import random
import struct
import sys

INF = float("inf")
NAN = float("nan")


def f32(x):
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(INF, x)


def bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def add(a, b): return f32(a + b)
def sub(a, b): return f32(a - b)
def mul(a, b):
    if (math.isinf(a) and b == 0) or (math.isinf(b) and a == 0):
        return NAN
    return f32(a * b)
def div(a, b):
    if math.isnan(a) or math.isnan(b):
        return NAN
    if b == 0:
        if a == 0:
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)
    if math.isinf(a) and math.isinf(b):
        return NAN
    return f32(a / b)


THIRD = f32(0.33333334)
WR, WG, WB = f32(0.2125), f32(0.7154), f32(0.0721)
assert (bits(THIRD), bits(WR), bits(WG), bits(WB)) == (0x3EAAAAAB, 0x3E59999A, 0x3F372474, 0x3D93A92A)


def lum(T, faults=()):
    a, b, c = mul(T[0], WR), mul(T[1], WG), mul(T[2], WB)
    if "lum_right" in faults:
        return add(a, add(b, c))
    if "lum_red_blue_first" in faults:
        return add(add(a, c), b)
    return add(add(a, b), c)


def balanced(x, primary, lesser, greater, b, faults=(), where="screen"):
    """x[p] - (((1 - b) x[l]) + (b x[g])): the screen difference (analyseScreen
    step 3) and the pixel difference (keyPixel step 3)."""
    ob = sub(1.0, b)
    if where + "_diff_left" in faults:   # (x[p] - (1-b) x[l]) - b x[g]
        return sub(sub(x[primary], mul(ob, x[lesser])), mul(b, x[greater]))
    if where + "_diff_lerp" in faults:   # x[p] - (x[l] + b (x[g] - x[l]))
        return sub(x[primary], add(x[lesser], mul(b, sub(x[greater], x[lesser]))))
    return sub(x[primary], add(mul(ob, x[lesser]), mul(b, x[greater])))


def analyse(p, faults=()):
    S = p["screen"]
    if S[1] >= S[0] and S[1] >= S[2]:
        primary = 1
    elif S[0] > S[2]:
        primary = 0
    else:
        primary = 2
    i1, i2 = (primary + 1) % 3, (primary + 2) % 3
    lesser, greater = (i1, i2) if S[i2] > S[i1] else (i2, i1)
    diff = balanced(S, primary, lesser, greater, p["balance"], faults, "screen")
    avg = mul(add(add(S[0], S[1]), S[2]), THIRD)
    return primary, lesser, greater, diff, avg


def key_pixel(p, P, alpha=None, faults=()):
    P = [f32(c) for c in P]
    S, R = p["screen"], p["replace"]
    gain, b, cb, cw = p["gain"], p["balance"], p["clipBlack"], p["clipWhite"]
    primary, lesser, greater, diff, avg = analyse(p, faults)
    # 1.
    a = 1.0 if alpha is None else f32(alpha)
    m0 = a if p["sourceAlpha"] in (1, 2) else 0.0
    m = m0 if m0 < 1.0 else 1.0
    # 2.
    if not (abs(diff) > 1e-8):
        return P[:], 1.0
    # 3.
    v = balanced(P, primary, lesser, greater, b, faults, "pixel")
    # 4.
    keyed = (v > 0) if "v_strict" in faults else (v >= 0)
    if not keyed:
        C, D = 1.0, P[:]
    else:
        w = div(v, diff)
        if "c_gain_squared" in faults:
            C = sub(1.0, mul(mul(gain, gain), w))
        else:
            C = sub(1.0, mul(mul(gain, w), gain))
        if diff > 0:
            E = mul(w, avg)
            k = mul(gain, E)
            D = []
            for c in range(3):
                Sw = mul(S[c], w)
                if "d_e_minus_k" in faults:
                    inner = mul(sub(Sw, sub(E, k)), gain)
                elif "d_k_first" in faults:
                    inner = mul(sub(add(Sw, k), E), gain)
                elif "d_gain_distributed" in faults:
                    inner = add(mul(sub(Sw, E), gain), mul(k, gain))
                else:
                    inner = mul(add(sub(Sw, E), k), gain)
                d = sub(P[c], inner)
                if "nan_d_kept" in faults:
                    if d < 0:
                        d = 0.0
                elif not (d >= 0):
                    d = 0.0
                D.append(d)
        else:
            D = P[:]
    # 5.
    n = D[2] if D[1] > D[2] else D[1]
    mn = n if D[0] > n else D[0]
    x2 = D[2] if D[2] > D[1] else D[1]
    mx = D[0] if D[0] >= x2 else x2
    if "floor_simplified" in faults:    # "H = max(C, mx) when C > 0, mx when C <= 0"
        H = mx if C <= 0 else (mx if mx > C else C)
    else:
        if C >= 0 and mn > C:
            C = mx
        elif C > 0:
            pass
        elif mn >= C:
            pass
        else:
            C = mx
        H = mx if mx > C else C
    # 6.
    if "no_clamp" not in faults and H > 1:
        H = 1.0
    # 7.
    clipped = (H <= cb) if "clip_le" in faults else (not (H > cb))
    if clipped:
        H = 0.0
        if "clip_keeps_colour" not in faults:
            D = [0.0, 0.0, 0.0]
    elif H > 0:
        t = div(sub(H, cb), sub(1.0, cb))
        s = div(t, H)
        if "stretch_dt_over_h" in faults:
            D = [div(mul(d, t), H) for d in D]
        elif "stretch_d_over_h_times_t" in faults:
            D = [mul(div(d, H), t) for d in D]
        else:
            D = [mul(s, d) for d in D]
        H = t
    # 8.
    white = (H > cw) if "white_strict" in faults else (H >= cw)
    if white:
        K = 1.0
    elif cw > 0:
        K = div(H, cw)
    else:
        K = H
    # 9.
    gap = sub(K, H)
    if gap > 0:
        M = mul(lum(P, faults), gap)
        D = [add(d, M) for d in D]
    # 10.
    u = mul(sub(1.0, K), m)
    mode = p["mode"]
    if u > 0:
        if mode == 1:
            if "source_lerp" in faults:
                D = [add(D[c], mul(m, sub(P[c], D[c]))) for c in range(3)]
            elif "source_expanded" in faults:
                D = [sub(add(mul(P[c], m), D[c]), mul(m, D[c])) for c in range(3)]
            else:
                D = [add(mul(P[c], m), mul(sub(1.0, m), D[c])) for c in range(3)]
        elif mode == 2:
            f = m if "hard_uses_m" in faults else u
            D = [add(D[c], mul(R[c], f)) for c in range(3)]
        elif mode == 3:
            lP, lR = lum(P, faults), lum(R, faults)
            if "soft_u_over_lumr" in faults:
                f = mul(lP, div(u, lR))
            elif "soft_ratio_first" in faults:
                f = mul(div(lP, lR), u)
            else:
                f = div(mul(lP, u), lR)
            D = [add(D[c], mul(R[c], f)) for c in range(3)]
    # 11.
    return D, add(u, K)


def params(**kw):
    p = dict(screen=[0.0, 1.0, 0.0], replace=[0.5, 0.5, 0.5], gain=1.0, balance=0.5, clipBlack=0.0,
             clipWhite=1.0, mode=3, sourceAlpha=0)
    for k, v in kw.items():
        p[k] = v
    p["screen"] = [f32(x) for x in p["screen"]]
    p["replace"] = [f32(x) for x in p["replace"]]
    for k in ("gain", "balance", "clipBlack", "clipWhite"):
        p[k] = f32(p[k])
    return p


def result_bits(res):
    D, a = res
    return [bits(x) if not math.isnan(x) else "nan" for x in D] + [bits(a) if not math.isnan(a) else "nan"]
