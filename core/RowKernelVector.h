// The vector row kernel, included once by each per-instruction-set source file
// with KEYER_VECTOR_WIDTH and KEYER_KERNEL_NAME defined. Everything here has
// internal linkage, so copies compiled for different instruction sets never
// stand in for each other.
//
// It is the reference keyer (keyPixel) written branch-free: every branch of a
// pixel is computed and the per-pixel outcome chosen with compare masks, with
// the same single-precision operations in the same order, so the results
// are identical to the bit. Per-row choices (modes, the screen analysis) stay
// ordinary branches.

#include "KeyMath.h"
#include "RowKernel.h"

#include <cstring>

namespace zav::detail {
namespace {

constexpr int W = KEYER_VECTOR_WIDTH;
typedef float vf __attribute__((vector_size(W * sizeof(float))));
typedef std::int32_t vm __attribute__((vector_size(W * sizeof(float))));

inline vf splat(float v)
{
    vf r;
    for (int i = 0; i < W; ++i)
        r[i] = v;
    return r;
}

inline vf load(const float* p)
{
    vf r;
    std::memcpy(&r, p, sizeof r);
    return r;
}

inline void store(float* p, vf v)
{
    std::memcpy(p, &v, sizeof v);
}

inline vf select(vm mask, vf a, vf b)
{
    return mask ? a : b;
}

// Per-row constants of the kernel.
struct Row {
    int primary, lesser, greater;
    bool degenerate, subtract, useAlpha, softColor;
    int mode;
    float oneMinusBalance, balance, gain, diff, average, clipBlack, oneMinusClipBlack, clipWhite, lumR;
    float screen[3], replace[3];
};

Row rowConstants(const KeyParams& p, const ScreenAnalysis& s, bool haveAlpha)
{
    Row k{};
    k.primary = s.primary;
    k.lesser = s.lesser;
    k.greater = s.greater;
    k.degenerate = isDegenerateScreen(s);
    k.subtract = s.screenDifference > 0.0f;
    k.useAlpha = usesSourceAlpha(p) && haveAlpha;
    k.mode = p.inMaskReplacementMode;
    k.balance = p.screenBalance;
    k.oneMinusBalance = 1.0f - p.screenBalance;
    k.gain = p.screenGain;
    k.diff = s.screenDifference;
    k.average = s.screenAverage;
    k.clipBlack = p.clipBlack;
    k.oneMinusClipBlack = 1.0f - p.clipBlack;
    k.clipWhite = p.clipWhite;
    k.lumR = luminance(p.inMaskReplacementColor);
    k.softColor = k.mode == static_cast<int>(InsideReplaceMode::SoftColor) && k.lumR != 0.0f;
    for (int c = 0; c < 3; ++c) {
        k.screen[c] = p.screenColor[c];
        k.replace[c] = p.inMaskReplacementColor[c];
    }
    return k;
}

// Keys W pixels. `maskConstant` is the inside mask when it does not come from
// the alpha samples (0 when the alpha is ignored, 1 when it is wanted but absent).
inline void keyBlock(const Row& k, float maskConstant, const float* const in[3], const float* alphaIn,
                     float* const out[3], float* alphaOut)
{
    const vf P[3] = {load(in[0]), load(in[1]), load(in[2])};
    const vf one = splat(1.0f), zero = splat(0.0f);
    vf D[3], alpha;
    if (k.degenerate) {
        D[0] = P[0], D[1] = P[1], D[2] = P[2];
        alpha = one;
    } else {
        vf m = splat(maskConstant);
        if (k.useAlpha) {
            const vf a = load(alphaIn);
            m = select(a < one, a, one);
        }

        const vf v = P[k.primary] - ((splat(k.oneMinusBalance) * P[k.lesser]) + (splat(k.balance) * P[k.greater]));
        const vm keyed = v >= zero;
        const vf gain = splat(k.gain);
        const vf w = v / splat(k.diff);
        vf C = select(keyed, one - ((gain * w) * gain), one);
        D[0] = P[0], D[1] = P[1], D[2] = P[2];
        if (k.subtract) {
            const vf E = w * splat(k.average);
            const vf kk = gain * E;
            for (int c = 0; c < 3; ++c) {
                const vf d = P[c] - ((((splat(k.screen[c]) * w) - E) + kk) * gain);
                D[c] = select(keyed, select(d >= zero, d, zero), P[c]);
            }
        }

        const vf n = select(D[1] > D[2], D[2], D[1]);
        const vf mn = select(D[0] > n, n, D[0]);
        const vf x2 = select(D[2] > D[1], D[2], D[1]);
        const vf mx = select(D[0] >= x2, D[0], x2);
        const vm raise = ((C >= zero) & (mn > C)) | (~(C > zero) & ~(mn >= C));
        C = select(raise, mx, C);
        vf H = select(mx > C, mx, C);
        H = select(H > one, one, H);

        const vm aboveBlack = H > splat(k.clipBlack);
        const vm stretch = aboveBlack & (H > zero);
        const vf t = (H - splat(k.clipBlack)) / splat(k.oneMinusClipBlack);
        const vf s = t / H;
        for (int c = 0; c < 3; ++c)
            D[c] = select(aboveBlack, select(stretch, s * D[c], D[c]), zero);
        H = select(aboveBlack, select(stretch, t, H), zero);

        const vf cw = splat(k.clipWhite);
        const vf K = select(H >= cw, one, k.clipWhite > 0.0f ? H / cw : H);

        const vf lumP = ((P[0] * splat(kLumRed)) + (P[1] * splat(kLumGreen))) + (P[2] * splat(kLumBlue));
        const vf gap = K - H;
        const vm fill = gap > zero;
        const vf M = lumP * gap;
        for (int c = 0; c < 3; ++c)
            D[c] = select(fill, D[c] + M, D[c]);

        const vf u = (one - K) * m;
        const vm uncovered = u > zero;
        switch (static_cast<InsideReplaceMode>(k.mode)) {
        case InsideReplaceMode::Source:
            for (int c = 0; c < 3; ++c)
                D[c] = select(uncovered, (P[c] * m) + ((one - m) * D[c]), D[c]);
            break;
        case InsideReplaceMode::HardColor:
            for (int c = 0; c < 3; ++c)
                D[c] = select(uncovered, D[c] + (splat(k.replace[c]) * u), D[c]);
            break;
        case InsideReplaceMode::SoftColor:
            if (k.softColor) {
                const vf f = (lumP * u) / splat(k.lumR);
                for (int c = 0; c < 3; ++c)
                    D[c] = select(uncovered, D[c] + (splat(k.replace[c]) * f), D[c]);
            }
            break;
        default:
            break;
        }
        alpha = u + K;
    }

    if (alphaOut) {
        for (int c = 0; c < 3; ++c)
            store(out[c], D[c]);
        store(alphaOut, alpha);
    } else {
        for (int c = 0; c < 3; ++c)
            store(out[c], alpha);
    }
}

}  // namespace

void KEYER_KERNEL_NAME(const KeyParams& params, const ScreenAnalysis& screen, std::int32_t x, std::int32_t r,
                       const RowArrays& a)
{
    const Row k = rowConstants(params, screen, a.alphaIn != nullptr);
    const float maskConstant = usesSourceAlpha(params) ? 1.0f : 0.0f;
    std::int32_t i = x;
    for (; r - i >= W; i += W) {
        const float* const in[3] = {a.in[0] + i, a.in[1] + i, a.in[2] + i};
        float* const out[3] = {a.out[0] + i, a.out[1] + i, a.out[2] + i};
        keyBlock(k, maskConstant, in, a.alphaIn ? a.alphaIn + i : nullptr, out, a.alphaOut ? a.alphaOut + i : nullptr);
    }
    if (i == r)
        return;
    // The tail goes through a padded block so that nothing past r is read or written.
    const std::int32_t n = r - i;
    float inBuf[4][W] = {}, outBuf[4][W];
    for (std::int32_t j = 0; j < n; ++j) {
        for (int c = 0; c < 3; ++c)
            inBuf[c][j] = a.in[c][i + j];
        if (a.alphaIn)
            inBuf[3][j] = a.alphaIn[i + j];
    }
    const float* const in[3] = {inBuf[0], inBuf[1], inBuf[2]};
    float* const out[3] = {outBuf[0], outBuf[1], outBuf[2]};
    keyBlock(k, maskConstant, in, inBuf[3], out, a.alphaOut ? outBuf[3] : nullptr);
    for (std::int32_t j = 0; j < n; ++j) {
        for (int c = 0; c < 3; ++c)
            a.out[c][i + j] = outBuf[c][j];
        if (a.alphaOut)
            a.alphaOut[i + j] = outBuf[3][j];
    }
}

}  // namespace zav::detail
