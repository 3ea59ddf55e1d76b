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

#include "KeyParams.h"

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
// Keys pixels x..r-1 with no stop query; x < r. Defined by the row kernel.
void keySpan(const KeyParams& params, const ScreenAnalysis& screen, std::int32_t x, std::int32_t r,
             const RowArrays& arrays);

// How many pixels are asked about before they are keyed together: large enough
// for the vector kernel, small enough that an abort is honoured promptly.
constexpr std::int32_t kStopBlock = 256;
}  // namespace detail

// Keys pixels x..r-1 (nothing when x >= r). For each pixel, in increasing
// order, `stop()` is asked before the pixel is written; once it returns true no
// further pixel is written. The stop query may be asked for a block of pixels
// before that block is computed, which keeps this meaning.
//
// When `alphaOut` is given, red/green/blue out receive the foreground colour and
// alpha out the matte; when it is null (matte inspection) red, green and blue
// out all receive the matte and nothing else is written. Inputs and outputs
// may be the same arrays. Safe to call concurrently for different outputs.
template <class StopQuery>
void keyRow(const KeyParams& params, std::int32_t x, std::int32_t r, const float* redIn,
            const float* greenIn, const float* blueIn, const float* alphaIn, float* redOut,
            float* greenOut, float* blueOut, float* alphaOut, StopQuery&& stop)
{
    const ScreenAnalysis screen = analyseScreen(params);
    const RowArrays arrays{{redIn, greenIn, blueIn}, alphaIn, {redOut, greenOut, blueOut}, alphaOut};
    std::int64_t i = x;
    while (i < r) {
        const std::int64_t end = (r - i > detail::kStopBlock) ? i + detail::kStopBlock : r;
        std::int64_t go = i;
        while (go < end && !stop())
            ++go;
        if (go > i)
            detail::keySpan(params, screen, static_cast<std::int32_t>(i), static_cast<std::int32_t>(go),
                            arrays);
        if (go < end)
            return;
        i = end;
    }
}

}  // namespace zav
