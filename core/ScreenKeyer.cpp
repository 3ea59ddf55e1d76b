// SPDX-License-Identifier: Apache-2.0
#include "veilcast/core/ScreenKeyer.h"

#include "KeyMath.h"

#include <cmath>

namespace zav {

ScreenAnalysis analyseScreen(const KeyParams& params)
{
    const float* s = params.screenColor;
    ScreenAnalysis a;
    // Green wins every tie it is part of; between red and blue alone, blue wins.
    if (s[1] >= s[0] && s[1] >= s[2])
        a.primary = 1;
    else if (s[0] > s[2])
        a.primary = 0;
    else
        a.primary = 2;
    const int i1 = (a.primary + 1) % 3;
    const int i2 = (a.primary + 2) % 3;
    if (s[i2] > s[i1]) {
        a.lesser = i1;
        a.greater = i2;
    } else {
        a.lesser = i2;
        a.greater = i1;
    }
    const float b = params.screenBalance;
    a.screenDifference = s[a.primary] - (((1.0f - b) * s[a.lesser]) + (b * s[a.greater]));
    a.screenAverage = ((s[0] + s[1]) + s[2]) * kOneThird;
    return a;
}

bool isDegenerateScreen(const ScreenAnalysis& screen)
{
    return !(static_cast<double>(std::fabs(screen.screenDifference)) > kDegenerateThreshold);
}

PixelKeyResult keyPixel(const KeyParams& params, const ScreenAnalysis& screen, const float pixel[3],
                        std::optional<float> alpha)
{
    const float* P = pixel;
    const float* S = params.screenColor;
    const float* R = params.inMaskReplacementColor;
    const float gain = params.screenGain;
    const float b = params.screenBalance;
    const float cb = params.clipBlack;
    const float cw = params.clipWhite;

    // 1. Inside mask; only its upper side is limited, and a NaN alpha gives 1.
    const float a = alpha ? *alpha : 1.0f;
    const float m0 = usesSourceAlpha(params) ? a : 0.0f;
    const float m = (m0 < 1.0f) ? m0 : 1.0f;

    // 2. A screen colour with no dominant channel keys nothing.
    if (isDegenerateScreen(screen))
        return {{P[0], P[1], P[2]}, 1.0f};

    // 3-4. Subtract the screen in proportion to how far the pixel leans its way; that lean is the raw matte.
    const float v = P[screen.primary] -
                    (((1.0f - b) * P[screen.lesser]) + (b * P[screen.greater]));
    float C;
    float D[3] = {P[0], P[1], P[2]};
    if (!(v >= 0.0f)) {
        C = 1.0f;
    } else {
        const float w = v / screen.screenDifference;
        C = 1.0f - ((gain * w) * gain);
        if (screen.screenDifference > 0.0f) {
            const float E = w * screen.screenAverage;
            const float k = gain * E;
            for (int c = 0; c < 3; ++c) {
                D[c] = P[c] - ((((S[c] * w) - E) + k) * gain);
                if (!(D[c] >= 0.0f))
                    D[c] = 0.0f;
            }
        }
    }

    // 5. The foreground's own extremes set a floor under the matte.
    const float n = (D[1] > D[2]) ? D[2] : D[1];
    const float mn = (D[0] > n) ? n : D[0];
    const float x2 = (D[2] > D[1]) ? D[2] : D[1];
    const float mx = (D[0] >= x2) ? D[0] : x2;
    // Tested in this order: a non-negative matte below the foreground's minimum
    // is raised to its maximum; a positive one stays; a non-positive one stays
    // only while the minimum is not below it.
    const bool raise = (C >= 0.0f && mn > C) || (!(C > 0.0f) && !(mn >= C));
    if (raise)
        C = mx;
    float H = (mx > C) ? mx : C;

    // 6. The matte never exceeds one.
    if (H > 1.0f)
        H = 1.0f;

    // 7. Clip black, re-stretching what stays above it.
    if (!(H > cb)) {
        H = 0.0f;
        D[0] = D[1] = D[2] = 0.0f;
    } else if (H > 0.0f) {
        const float t = (H - cb) / (1.0f - cb);
        const float s = t / H;
        for (float& d : D)
            d = s * d;
        H = t;
    }

    // 8. Clip white.
    float K;
    if (H >= cw)
        K = 1.0f;
    else if (cw > 0.0f)
        K = H / cw;
    else
        K = H;

    // 9. Whatever clip white added to the matte is filled with the source's luminance.
    const float gap = K - H;
    if (gap > 0.0f) {
        const float M = luminance(P) * gap;
        for (float& d : D)
            d = d + M;
    }

    // 10. Fill the part of the inside mask that the matte leaves uncovered.
    const float u = (1.0f - K) * m;
    if (u > 0.0f) {
        switch (static_cast<InsideReplaceMode>(params.inMaskReplacementMode)) {
        case InsideReplaceMode::Source:
            for (int c = 0; c < 3; ++c)
                D[c] = (P[c] * m) + ((1.0f - m) * D[c]);
            break;
        case InsideReplaceMode::HardColor:
            for (int c = 0; c < 3; ++c)
                D[c] = D[c] + (R[c] * u);
            break;
        case InsideReplaceMode::SoftColor: {
            const float lumR = luminance(R);
            if (lumR != 0.0f) {
                const float f = (luminance(P) * u) / lumR;
                for (int c = 0; c < 3; ++c)
                    D[c] = D[c] + (R[c] * f);
            }
            break;
        }
        default:
            break;
        }
    }

    // 11. The colour, and the matte raised by the uncovered inside mask.
    return {{D[0], D[1], D[2]}, u + K};
}

}  // namespace zav
