#include "RowKernel.h"

#include <optional>

namespace zav::detail {

void keySpanScalar(const KeyParams& params, const ScreenAnalysis& screen, std::int32_t x, std::int32_t r,
                   const RowArrays& a)
{
    for (std::int32_t i = x; i < r; ++i) {
        const float pixel[3] = {a.in[0][i], a.in[1][i], a.in[2][i]};
        const std::optional<float> alpha = a.alphaIn ? std::optional<float>(a.alphaIn[i]) : std::nullopt;
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

const char* isaName(Isa isa)
{
    switch (isa) {
    case Isa::Scalar: return "scalar";
    case Isa::Sse2: return "SSE2";
    case Isa::Avx2: return "AVX2";
    case Isa::Avx512: return "AVX-512";
    }
    return "?";
}

bool isaSupported(Isa isa)
{
    switch (isa) {
    case Isa::Scalar: return true;
    case Isa::Sse2: return __builtin_cpu_supports("sse2");
    case Isa::Avx2: return __builtin_cpu_supports("avx2");
    case Isa::Avx512: return __builtin_cpu_supports("avx512f");
    }
    return false;
}

Isa dispatchedIsa()
{
    static const Isa best = isaSupported(Isa::Avx512) ? Isa::Avx512
                            : isaSupported(Isa::Avx2) ? Isa::Avx2
                                                      : Isa::Sse2;
    return best;
}

namespace {

SpanKernel kernelFor(Isa isa)
{
    switch (isa) {
    case Isa::Scalar: return keySpanScalar;
    case Isa::Sse2: return keySpanSse2;
    case Isa::Avx2: return keySpanAvx2;
    case Isa::Avx512: return keySpanAvx512;
    }
    return keySpanScalar;
}

}  // namespace

void keySpanWith(Isa isa, const KeyParams& params, const ScreenAnalysis& screen, std::int32_t x, std::int32_t r,
                 const RowArrays& arrays)
{
    kernelFor(isa)(params, screen, x, r, arrays);
}

void keySpan(const KeyParams& params, const ScreenAnalysis& screen, std::int32_t x, std::int32_t r,
             const RowArrays& arrays)
{
    static const SpanKernel kernel = kernelFor(dispatchedIsa());
    kernel(params, screen, x, r, arrays);
}

}  // namespace zav::detail
