// SPDX-License-Identifier: Apache-2.0
// The vector row kernel, included once by each per-instruction-set source file
// with KEYER_VECTOR_WIDTH, KEYER_KERNEL_NAME and KEYER_MAPPED_KERNEL_NAME defined, inside that file's
// target pragma. Everything here has internal linkage, so copies compiled for
// different instruction sets never stand in for each other; the shared headers
// it includes were already included before the pragma, for the baseline.
//
// It is the reference keyer (keyPixel) written branch-free: every branch of a
// pixel is computed for every lane and the per-pixel outcome chosen with
// compare masks, with the same single-precision operations in the same order,
// so the results are identical to the bit. Per-row choices (modes, the screen
// analysis) stay ordinary branches.
//
// Floating-point flags: a lane whose pixel does not take a branch computes
// that branch on safe operands (0 divided by a finite non-zero number, 1
// divided by 1, a product with 0 or 1 of a finite number...), so that for
// finite pixels and finite settings no lane raises an exception flag that
// keyPixel would not raise on the same pixel. Row constants that keyPixel
// computes only for some pixels (the replace colour's luminance) are
// computed only when a pixel needs them. Settings whose row constants are not
// finite (or a screen analysis that overflowed) go to the per-pixel kernel.
//
// x86 MINPS/MAXPS are exactly `a < b ? a : b` and `a > b ? a : b`, NaN and
// signed zeros included, so the reference's ordered selections map onto them.
// ARM's FMIN/FMAX are not (they return a NaN operand and order -0 below +0),
// so there the selections stay a compare and a bitwise select.

#include "KeyMath.h"
#include "RowKernel.h"

#include <cmath>
#include <cstring>
#if defined(__aarch64__)
#include <arm_neon.h>
#else
#include <immintrin.h>
#endif

namespace zav::detail {
namespace {

// L lanes per register; U registers side by side, whose independent chains
// of dependent operations (four divisions deep) overlap in the processor.
constexpr int L = KEYER_VECTOR_WIDTH;
#ifndef KEYER_UNROLL
#define KEYER_UNROLL 4
#endif
constexpr int U = KEYER_UNROLL;
constexpr int W = L * U;  // pixels per block
typedef float reg __attribute__((vector_size(L * sizeof(float))));
typedef std::int32_t regMask __attribute__((vector_size(L * sizeof(float))));

#define KEYER_EACH _Pragma("GCC unroll 4") for (int j = 0; j < U; ++j)
#define KEYER_INLINE inline __attribute__((always_inline))

struct vf {
    reg r[U];
};
struct vm {
    regMask r[U];
};

#define KEYER_BINARY(T, R, op)                  \
    KEYER_INLINE R operator op(T a, T b)        \
    {                                           \
        R o;                                    \
        KEYER_EACH o.r[j] = a.r[j] op b.r[j];   \
        return o;                               \
    }
KEYER_BINARY(vf, vf, +)
KEYER_BINARY(vf, vf, -)
KEYER_BINARY(vf, vf, *)
KEYER_BINARY(vf, vf, /)
KEYER_BINARY(vf, vm, <)
KEYER_BINARY(vf, vm, >)
KEYER_BINARY(vf, vm, <=)
KEYER_BINARY(vf, vm, >=)
KEYER_BINARY(vm, vm, &)
KEYER_BINARY(vm, vm, |)
#undef KEYER_BINARY

KEYER_INLINE vm operator~(vm a)
{
    vm o;
    KEYER_EACH o.r[j] = ~a.r[j];
    return o;
}

KEYER_INLINE vf splat(float v)
{
    reg x;
    for (int i = 0; i < L; ++i)
        x[i] = v;
    vf o;
    KEYER_EACH o.r[j] = x;
    return o;
}

KEYER_INLINE vf load(const float* p)
{
    vf o;
    KEYER_EACH std::memcpy(&o.r[j], p + j * L, sizeof(reg));
    return o;
}

KEYER_INLINE void store(float* p, vf v)
{
    KEYER_EACH std::memcpy(p + j * L, &v.r[j], sizeof(reg));
}

KEYER_INLINE vf select(vm mask, vf a, vf b)
{
    vf o;
    KEYER_EACH o.r[j] = mask.r[j] ? a.r[j] : b.r[j];
    return o;
}

// a where the mask is set, +0 elsewhere.
KEYER_INLINE vf keep(vm mask, vf a)
{
    vf o;
    KEYER_EACH o.r[j] = reinterpret_cast<reg>(mask.r[j] & reinterpret_cast<regMask>(a.r[j]));
    return o;
}

// One register: a < b ? a : b, a > b ? a : b, and whether any lane is set.
#if defined(__aarch64__) && KEYER_VECTOR_WIDTH == 4
KEYER_INLINE reg less1(reg a, reg b) { return a < b ? a : b; }
KEYER_INLINE reg greater1(reg a, reg b) { return a > b ? a : b; }
KEYER_INLINE bool any1(regMask m) { return vmaxvq_u32(reinterpret_cast<uint32x4_t>(m)) != 0; }
#elif defined(__aarch64__)
#error "64-bit ARM has 4-wide vectors only"
#elif KEYER_VECTOR_WIDTH == 4
KEYER_INLINE reg less1(reg a, reg b) { return reinterpret_cast<reg>(_mm_min_ps(reinterpret_cast<__m128>(a), reinterpret_cast<__m128>(b))); }
KEYER_INLINE reg greater1(reg a, reg b) { return reinterpret_cast<reg>(_mm_max_ps(reinterpret_cast<__m128>(a), reinterpret_cast<__m128>(b))); }
KEYER_INLINE bool any1(regMask m) { return _mm_movemask_ps(reinterpret_cast<__m128>(m)) != 0; }
#elif KEYER_VECTOR_WIDTH == 8
KEYER_INLINE reg less1(reg a, reg b) { return reinterpret_cast<reg>(_mm256_min_ps(reinterpret_cast<__m256>(a), reinterpret_cast<__m256>(b))); }
KEYER_INLINE reg greater1(reg a, reg b) { return reinterpret_cast<reg>(_mm256_max_ps(reinterpret_cast<__m256>(a), reinterpret_cast<__m256>(b))); }
KEYER_INLINE bool any1(regMask m) { return _mm256_movemask_ps(reinterpret_cast<__m256>(m)) != 0; }
#elif KEYER_VECTOR_WIDTH == 16
// (The masked forms: GCC 12 warns that the plain ones read an undefined value.)
KEYER_INLINE reg less1(reg a, reg b) { const __m512 x = reinterpret_cast<__m512>(a); return reinterpret_cast<reg>(_mm512_mask_min_ps(x, 0xFFFF, x, reinterpret_cast<__m512>(b))); }
KEYER_INLINE reg greater1(reg a, reg b) { const __m512 x = reinterpret_cast<__m512>(a); return reinterpret_cast<reg>(_mm512_mask_max_ps(x, 0xFFFF, x, reinterpret_cast<__m512>(b))); }
KEYER_INLINE bool any1(regMask m) { return _mm512_test_epi32_mask(reinterpret_cast<__m512i>(m), reinterpret_cast<__m512i>(m)) != 0; }
#else
#error "unsupported vector width"
#endif

KEYER_INLINE vf lessOf(vf a, vf b)
{
    vf o;
    KEYER_EACH o.r[j] = less1(a.r[j], b.r[j]);
    return o;
}

KEYER_INLINE vf greaterOf(vf a, vf b)
{
    vf o;
    KEYER_EACH o.r[j] = greater1(a.r[j], b.r[j]);
    return o;
}

KEYER_INLINE bool anyLane(vm m)
{
    regMask any = m.r[0];
    for (int j = 1; j < U; ++j)
        any |= m.r[j];
    return any1(any);
}

// Per-row constants of the kernel.
struct Row {
    int primary, lesser, greater;
    bool degenerate, subtract, useAlpha, divideByWhite, writeColour;
    int mode;
    float maskConstant;
    float oneMinusBalance, balance, gain, diff, average, clipBlack, clipWhite;
    float screen[3], replace[3];
    // The replace colour's luminance, computed when a pixel first needs it
    // (keyPixel computes it only for pixels that Soft Color fills).
    bool lumRKnown;
    float lumR;
};

bool isFiniteValue(float f)
{
    return std::isfinite(f);
}

// True when every value the vector path multiplies or divides by is finite,
// which keeps the safe operands of untaken branches free of flags.
bool vectorSafe(const KeyParams& p, const ScreenAnalysis& s)
{
    bool ok = isFiniteValue(p.screenGain) && isFiniteValue(p.screenBalance) && isFiniteValue(p.clipBlack) &&
              isFiniteValue(p.clipWhite) && isFiniteValue(s.screenDifference) && isFiniteValue(s.screenAverage);
    for (int c = 0; c < 3; ++c)
        ok = ok && isFiniteValue(p.screenColor[c]) && isFiniteValue(p.inMaskReplacementColor[c]);
    return ok;
}

// Only what keyPixel itself computes for every pixel of a non-degenerate
// screen is computed here (1 - balance); the rest waits for a pixel.
Row rowConstants(const KeyParams& p, const ScreenAnalysis& s, bool haveAlpha, bool writeColour)
{
    Row k{};
    k.primary = s.primary;
    k.lesser = s.lesser;
    k.greater = s.greater;
    k.degenerate = isDegenerateScreen(s);
    k.writeColour = writeColour;
    if (k.degenerate)
        return k;
    k.subtract = s.screenDifference > 0.0f;
    k.useAlpha = usesSourceAlpha(p) && haveAlpha;
    k.maskConstant = usesSourceAlpha(p) ? 1.0f : 0.0f;
    k.mode = p.inMaskReplacementMode;
    k.balance = p.screenBalance;
    k.oneMinusBalance = 1.0f - p.screenBalance;
    k.gain = p.screenGain;
    k.diff = s.screenDifference;
    k.average = s.screenAverage;
    k.clipBlack = p.clipBlack;
    k.clipWhite = p.clipWhite;
    k.divideByWhite = p.clipWhite > 0.0f;
    for (int c = 0; c < 3; ++c) {
        k.screen[c] = p.screenColor[c];
        k.replace[c] = p.inMaskReplacementColor[c];
    }
    return k;
}

// Keys W pixels whose inputs start at in[] (and alphaIn when the inside mask
// comes from the alpha samples). With Mapped, the screen colour, screen
// difference and screen average are each pixel's own, W of each in lane[0..2],
// lane[3] and lane[4]; the rest of the row's constants are the same for all.
template <bool Mapped>
KEYER_INLINE void keyBlockWith(Row& k, const float* const in[3], const float* alphaIn, float* const out[3],
                               float* alphaOut, const float* const* lane)
{
    const vf P[3] = {load(in[0]), load(in[1]), load(in[2])};
    const vf one = splat(1.0f);
    if (k.degenerate) {
        if (alphaOut) {
            for (int c = 0; c < 3; ++c)
                store(out[c], P[c]);
            store(alphaOut, one);
        } else {
            for (int c = 0; c < 3; ++c)
                store(out[c], one);
        }
        return;
    }
    const vf zero = splat(0.0f);

    // 1. Inside mask: (a < 1) ? a : 1.
    const vf m = k.useAlpha ? lessOf(load(alphaIn), one) : splat(k.maskConstant);

    // 3. Pixel difference.
    const vf v = load(in[k.primary]) -
                 ((splat(k.oneMinusBalance) * load(in[k.lesser])) + (splat(k.balance) * load(in[k.greater])));
    const vm keyed = v >= zero;

    // 4. Lanes that are not keyed carry w = 0 / difference = 0, so C = 1 - 0 = 1
    // exactly and the subtraction below computes on zeros.
    const vf gain = splat(k.gain);
    const vf w = keep(keyed, v) / (Mapped ? load(lane[3]) : splat(k.diff));
    vf C = one - ((gain * w) * gain);
    vf D[3] = {P[0], P[1], P[2]};
    if (k.subtract) {
        const vf E = w * (Mapped ? load(lane[4]) : splat(k.average));
        const vf kk = gain * E;
        for (int c = 0; c < 3; ++c) {
            const vf screenC = Mapped ? load(lane[c]) : splat(k.screen[c]);
            const vf d = P[c] - ((((screenC * w) - E) + kk) * gain);
            D[c] = select(keyed, keep(d >= zero, d), P[c]);
        }
    }

    // 5. Smallest and largest channel; the matte floor.
    const vf n = lessOf(D[2], D[1]);    // (D1 > D2) ? D2 : D1
    const vf mn = lessOf(n, D[0]);      // (D0 > n) ? n : D0
    const vf x2 = greaterOf(D[2], D[1]);  // (D2 > D1) ? D2 : D1
    const vf mx = select(D[0] >= x2, D[0], x2);
    const vm raise = ((C >= zero) & (mn > C)) | ~((C > zero) | (mn >= C));
    C = select(raise, mx, C);
    vf H = greaterOf(mx, C);  // (mx > C) ? mx : C

    // 6. (H > 1) ? 1 : H.
    H = lessOf(one, H);

    // 7. Clip black. Lanes that do not stretch compute (1 - 0) / (1 - 0) and
    // 1 / 1, so s = 1 and s * D = D exactly.
    const vf cb = splat(k.clipBlack);
    const vm aboveBlack = H > cb;
    const vm stretch = aboveBlack & (H > zero);
    const vf Hs = select(stretch, H, one);
    const vf cbs = keep(stretch, cb);
    const vf t = (Hs - cbs) / (one - cbs);
    const vf s = t / Hs;
    for (int c = 0; c < 3; ++c)
        D[c] = keep(aboveBlack, s * D[c]);
    H = keep(aboveBlack, select(stretch, t, H));

    // 8. Clip white. Lanes at or above it divide 0 by it.
    const vf cw = splat(k.clipWhite);
    const vm white = H >= cw;
    const vf K = select(white, one, k.divideByWhite ? select(white, zero, H) / cw : H);

    const vf u = (one - K) * m;
    if (k.writeColour) {
        // 9. Luminance fill, where clip white raised the matte.
        const vf gap = K - H;
        const vm fill = gap > zero;
        const vm uncovered = u > zero;
        bool softFill = false;
        if (k.mode == static_cast<int>(InsideReplaceMode::SoftColor) && anyLane(uncovered)) {
            if (!k.lumRKnown) {
                k.lumR = luminance(k.replace);
                k.lumRKnown = true;
            }
            softFill = k.lumR != 0.0f;
        }
        // The pixel's luminance, from zeros in lanes that need none.
        const vm needLum = softFill ? (fill | uncovered) : fill;
        const vf lumP = ((keep(needLum, P[0]) * splat(kLumRed)) + (keep(needLum, P[1]) * splat(kLumGreen))) +
                        (keep(needLum, P[2]) * splat(kLumBlue));
        // Lanes without a fill add -0, which leaves every value as it is.
        const vf M = keep(fill, lumP) * select(fill, gap, splat(-0.0f));
        for (int c = 0; c < 3; ++c)
            D[c] = D[c] + M;

        // 10. Inside replacement, where the matte leaves the mask uncovered.
        switch (static_cast<InsideReplaceMode>(k.mode)) {
        case InsideReplaceMode::Source: {
            const vf ms = keep(uncovered, m);
            for (int c = 0; c < 3; ++c)
                D[c] = select(uncovered, (P[c] * ms) + ((one - ms) * D[c]), D[c]);
            break;
        }
        case InsideReplaceMode::HardColor: {
            const vf us = keep(uncovered, u);
            for (int c = 0; c < 3; ++c)
                D[c] = select(uncovered, D[c] + (splat(k.replace[c]) * us), D[c]);
            break;
        }
        case InsideReplaceMode::SoftColor:
            if (softFill) {
                const vf f = (keep(uncovered, lumP) * keep(uncovered, u)) / splat(k.lumR);
                for (int c = 0; c < 3; ++c)
                    D[c] = select(uncovered, D[c] + (splat(k.replace[c]) * f), D[c]);
            }
            break;
        default:
            break;
        }
    }

    // 11.
    const vf alpha = u + K;
    if (alphaOut) {
        for (int c = 0; c < 3; ++c)
            store(out[c], D[c]);
        store(alphaOut, alpha);
    } else {
        for (int c = 0; c < 3; ++c)
            store(out[c], alpha);
    }
}

KEYER_INLINE void keyBlock(Row& k, const float* const in[3], const float* alphaIn, float* const out[3], float* alphaOut)
{
    keyBlockWith<false>(k, in, alphaIn, out, alphaOut, nullptr);
}

// Gathers W pixels' screen constants into lane (see keyBlockWith), each
// pixel j of the block at column at(j). True when the vector path keys them
// as keyPixel would: the same dominant and ordered channels and the same
// sign of the screen difference for all, none degenerate, every constant
// finite.
template <class At>
bool gatherScreens(const KeyParams& params, const float* const screen[3], At&& at, float lane[5][W], Row& k,
                   bool haveAlpha, bool writeColour)
{
    KeyParams p = params;
    ScreenAnalysis first{};
    for (int j = 0; j < W; ++j) {
        const std::int32_t i = at(j);
        for (int c = 0; c < 3; ++c)
            lane[c][j] = p.screenColor[c] = screen[c][i];
        const ScreenAnalysis s = analyseScreen(p);
        if (j == 0) {
            first = s;
            k = rowConstants(p, s, haveAlpha, writeColour);
        }
        if (s.primary != first.primary || s.lesser != first.lesser || s.greater != first.greater ||
            isDegenerateScreen(s) || (s.screenDifference > 0.0f) != (first.screenDifference > 0.0f) ||
            !vectorSafe(p, s))
            return false;
        lane[3][j] = s.screenDifference;
        lane[4][j] = s.screenAverage;
    }
    return true;
}

}  // namespace

void KEYER_MAPPED_KERNEL_NAME(const KeyParams& params, std::int32_t x, std::int32_t r, const RowArrays& a,
                              const float* const screen[3])
{
    alignas(64) float lane[5][W];
    const float* const lanes[5] = {lane[0], lane[1], lane[2], lane[3], lane[4]};
    const bool haveAlpha = a.alphaIn != nullptr, writeColour = a.alphaOut != nullptr;
    Row k{};
    std::int32_t i = x;
    for (; r - i >= W; i += W) {
        if (!gatherScreens(params, screen, [i](int j) { return i + j; }, lane, k, haveAlpha, writeColour)) {
            keySpanMappedScalar(params, i, i + W, a, screen);
            continue;
        }
        const float* const alphaIn = k.useAlpha ? a.alphaIn + i : nullptr;
        const float* const in[3] = {a.in[0] + i, a.in[1] + i, a.in[2] + i};
        float* const out[3] = {a.out[0] + i, a.out[1] + i, a.out[2] + i};
        keyBlockWith<true>(k, in, alphaIn, out, a.alphaOut ? a.alphaOut + i : nullptr, lanes);
    }
    if (i == r)
        return;
    // The tail as the kernel below pads it, the screen repeated with the pixel.
    const std::int32_t n = r - i;
    const auto padded = [i, n](int j) { return i + (j < n ? j : n - 1); };
    if (!gatherScreens(params, screen, padded, lane, k, haveAlpha, writeColour)) {
        keySpanMappedScalar(params, i, r, a, screen);
        return;
    }
    float inBuf[4][W], outBuf[4][W];
    for (std::int32_t j = 0; j < W; ++j) {
        const std::int32_t from = padded(j);
        for (int c = 0; c < 3; ++c)
            inBuf[c][j] = a.in[c][from];
        inBuf[3][j] = k.useAlpha ? a.alphaIn[from] : 0.0f;
    }
    const float* const in[3] = {inBuf[0], inBuf[1], inBuf[2]};
    float* const out[3] = {outBuf[0], outBuf[1], outBuf[2]};
    keyBlockWith<true>(k, in, inBuf[3], out, a.alphaOut ? outBuf[3] : nullptr, lanes);
    for (std::int32_t j = 0; j < n; ++j) {
        for (int c = 0; c < 3; ++c)
            a.out[c][i + j] = outBuf[c][j];
        if (a.alphaOut)
            a.alphaOut[i + j] = outBuf[3][j];
    }
}

void KEYER_KERNEL_NAME(const KeyParams& params, const ScreenAnalysis& screen, std::int32_t x, std::int32_t r,
                       const RowArrays& a)
{
    if (!isDegenerateScreen(screen) && !vectorSafe(params, screen)) {
        keySpanScalar(params, screen, x, r, a);
        return;
    }
    Row k = rowConstants(params, screen, a.alphaIn != nullptr, a.alphaOut != nullptr);
    const float* const alphaIn = k.useAlpha ? a.alphaIn : nullptr;
    std::int32_t i = x;
    for (; r - i >= W; i += W) {
        const float* const in[3] = {a.in[0] + i, a.in[1] + i, a.in[2] + i};
        float* const out[3] = {a.out[0] + i, a.out[1] + i, a.out[2] + i};
        keyBlock(k, in, alphaIn ? alphaIn + i : nullptr, out, a.alphaOut ? a.alphaOut + i : nullptr);
    }
    if (i == r)
        return;
    // The tail goes through a padded block so that nothing past r is read or
    // written. The padding repeats the last pixel, so it raises no flag that
    // the span's own pixels do not.
    const std::int32_t n = r - i;
    float inBuf[4][W], outBuf[4][W];
    for (std::int32_t j = 0; j < W; ++j) {
        const std::int32_t from = i + (j < n ? j : n - 1);
        for (int c = 0; c < 3; ++c)
            inBuf[c][j] = a.in[c][from];
        inBuf[3][j] = alphaIn ? alphaIn[from] : 0.0f;
    }
    const float* const in[3] = {inBuf[0], inBuf[1], inBuf[2]};
    float* const out[3] = {outBuf[0], outBuf[1], outBuf[2]};
    keyBlock(k, in, inBuf[3], out, a.alphaOut ? outBuf[3] : nullptr);
    for (std::int32_t j = 0; j < n; ++j) {
        for (int c = 0; c < 3; ++c)
            a.out[c][i + j] = outBuf[c][j];
        if (a.alphaOut)
            a.alphaOut[i + j] = outBuf[3][j];
    }
}

}  // namespace zav::detail

#undef KEYER_EACH
#undef KEYER_INLINE
