// SPDX-License-Identifier: Apache-2.0
#pragma once

// The screen keyer: turns one span of an RGB(A) scan line shot against a
// coloured backing into a foreground colour with the screen subtracted and a
// matte.
//
// Arithmetic contract: every operation is IEEE-754 single precision, rounded on
// its own in the order the source writes it (never fused: build with
// -ffp-contract=off and without fast-math). Every comparison is ordered, so a
// comparison with a NaN is false. The one exception is the degenerate-screen
// test, which widens |screenDifference| to double and compares it with 1e-8.
// The keyer never touches the thread's floating-point mode.

#include "veilcast/core/KeyParams.h"

#include <cstdint>
#include <optional>

namespace zav {

// Per-row constants derived from the screen colour.
struct ScreenAnalysis {
    int primary = 1;               // dominant channel of the screen colour (0 red, 1 green, 2 blue)
    int lesser = 0;                // the other two channels, ordered by their screen value
    int greater = 2;
    float screenDifference = 0.0f; // dominant channel above the balanced mix of the other two
    float screenAverage = 0.0f;    // mean of the three screen channels
};

struct PixelKeyResult {
    float color[3];
    float alpha;
};

ScreenAnalysis analyseScreen(const KeyParams& params);

// The per-pixel reference keyer. `alpha` is the input's alpha sample, or none
// when the input has no alpha channel (then it counts as 1.0).
//
// One deliberate departure from the plain formula: in Soft Color mode a
// replace colour whose luminance is zero (+0 or -0) would divide by zero and
// write infinities or NaN into the picture; there the colour is left as it is
// and only the alpha takes the inside mask.
PixelKeyResult keyPixel(const KeyParams& params, const ScreenAnalysis& screen, const float pixel[3],
                        std::optional<float> alpha);

// The arrays of one keyed span, all indexed by the same pixel index i.
struct RowArrays {
    const float* in[3];    // red, green, blue in
    const float* alphaIn;  // null: the input has no alpha
    float* out[3];         // red, green, blue out
    float* alphaOut;       // null: matte inspection, the matte goes into red, green and blue
};

namespace detail {
// A row kernel: keys pixels x..r-1 (x < r) with no stop query, writing every
// output array it is given. Pure arithmetic: it reads all the inputs of a
// group of pixels before it writes their outputs, so outputs may be the inputs.
using SpanKernel = void (*)(const KeyParams&, const ScreenAnalysis&, std::int32_t, std::int32_t, const RowArrays&);

// The fastest kernel this processor supports (chosen once, at first use).
SpanKernel dispatchedKernel();

// How many pixels are computed ahead, into a buffer on the stack, before they
// are written one by one, each after its own stop query. A multiple of every
// vector width; small enough to stay in the first-level cache.
constexpr std::int32_t kComputeBlock = 128;

// keyRow with a given kernel (the tests run it with every one).
template <class StopQuery>
void keyRowWith(SpanKernel kernel, const KeyParams& params, std::int32_t x, std::int32_t r, const RowArrays& a,
                StopQuery&& stop)
{
    const ScreenAnalysis screen = analyseScreen(params);
    if (x >= r)
        return;
    alignas(64) float buf[4][kComputeBlock];
    float* const o0 = a.out[0];
    float* const o1 = a.out[1];
    float* const o2 = a.out[2];
    float* const oa = a.alphaOut;
    for (std::int64_t i = x; i < r;) {
        const std::int32_t n = (r - i > kComputeBlock) ? kComputeBlock : static_cast<std::int32_t>(r - i);
        // Compute ahead (pure maths, nothing observable): the block's inputs
        // are all read here, before any of its outputs is written.
        const RowArrays block{{a.in[0] + i, a.in[1] + i, a.in[2] + i},
                              a.alphaIn ? a.alphaIn + i : nullptr,
                              {buf[0], buf[1], buf[2]},
                              oa ? buf[3] : nullptr};
        kernel(params, screen, 0, n, block);
        // Then, pixel by pixel: ask, and only then write.
        if (oa) {
            for (std::int32_t j = 0; j < n; ++j, ++i) {
                if (stop())
                    return;
                o0[i] = buf[0][j];
                o1[i] = buf[1][j];
                o2[i] = buf[2][j];
                oa[i] = buf[3][j];
            }
        } else {
            for (std::int32_t j = 0; j < n; ++j, ++i) {
                if (stop())
                    return;
                const float matte = buf[0][j];
                o0[i] = matte;
                o1[i] = matte;
                o2[i] = matte;
            }
        }
    }
}
}  // namespace detail

// Keys pixels x..r-1 (nothing when x >= r). For each pixel, in increasing
// order, `stop()` is asked after the previous pixel is written and before this
// one is; once it returns true nothing more is written and it is not asked
// again. Pixels may be computed ahead of their question (the arithmetic is
// pure), never written ahead of it.
//
// When `alphaOut` is given, red/green/blue out receive the foreground colour and
// alpha out the matte; when it is null (matte inspection) red, green and blue
// out all receive the matte and nothing else is written. Inputs and outputs
// may be the same arrays (the same pixel index). Safe to call concurrently for
// different outputs.
template <class StopQuery>
void keyRow(const KeyParams& params, std::int32_t x, std::int32_t r, const float* redIn,
            const float* greenIn, const float* blueIn, const float* alphaIn, float* redOut,
            float* greenOut, float* blueOut, float* alphaOut, StopQuery&& stop)
{
    const RowArrays arrays{{redIn, greenIn, blueIn}, alphaIn, {redOut, greenOut, blueOut}, alphaOut};
    detail::keyRowWith(detail::dispatchedKernel(), params, x, r, arrays, stop);
}

}  // namespace zav
