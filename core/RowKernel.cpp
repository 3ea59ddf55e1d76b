#include "ScreenKeyer.h"

namespace zav::detail {

void keySpan(const KeyParams& params, const ScreenAnalysis& screen, std::int32_t x, std::int32_t r,
             const RowArrays& a)
{
    for (std::int32_t i = x; i < r; ++i) {
        const float pixel[3] = {a.in[0][i], a.in[1][i], a.in[2][i]};
        const std::optional<float> alpha =
            a.alphaIn ? std::optional<float>(a.alphaIn[i]) : std::nullopt;
        const PixelKeyResult k = keyPixel(params, screen, pixel, alpha);
        if (a.alphaOut) {
            a.out[0][i] = k.color[0];
            a.out[1][i] = k.color[1];
            a.out[2][i] = k.color[2];
            a.alphaOut[i] = k.alpha;
        } else {
            a.out[0][i] = a.out[1][i] = a.out[2][i] = k.alpha;
        }
    }
}

}  // namespace zav::detail
