// SPDX-License-Identifier: Apache-2.0
#include "RowKernel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

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

void keySpanMappedScalar(const KeyParams& params, std::int32_t x, std::int32_t r, const RowArrays& a,
                         const float* const screen[3])
{
    KeyParams p = params;
    for (std::int32_t i = x; i < r; ++i) {
        for (int c = 0; c < 3; ++c)
            p.screenColor[c] = screen[c][i];
        keySpanScalar(p, analyseScreen(p), i, i + 1, a);
    }
}

const char* isaName(Isa isa)
{
    switch (isa) {
    case Isa::Scalar: return "scalar";
    case Isa::Sse2: return "SSE2";
    case Isa::Avx2: return "AVX2";
    case Isa::Avx512: return "AVX-512";
    case Isa::Neon: return "NEON";
    }
    return "?";
}

bool isaSupported(Isa isa)
{
    switch (isa) {
    case Isa::Scalar: return true;
#if defined(__x86_64__)
    case Isa::Sse2: return __builtin_cpu_supports("sse2");
    case Isa::Avx2: return __builtin_cpu_supports("avx2");
    case Isa::Avx512: return __builtin_cpu_supports("avx512f");
#elif defined(__aarch64__)
    case Isa::Neon: return true;
#endif
    default: return false;
    }
}

namespace {

const char* forcedName(Isa isa)
{
    switch (isa) {
    case Isa::Scalar: return "scalar";
    case Isa::Sse2: return "sse2";
    case Isa::Avx2: return "avx2";
    case Isa::Avx512: return "avx512";
    case Isa::Neon: return "neon";
    }
    return "?";
}

// VEILCAST_ISA forces the kernel (for diagnosis and comparison, as
// OpenImageIO lets its vector path be switched off); a value that names no
// kernel built for this target, or one this processor lacks, stops the
// process with a message rather than silently keying another way.
Isa chooseIsa()
{
    const char* forced = std::getenv("VEILCAST_ISA");
    if (forced && *forced) {
        std::string known = forcedName(Isa::Scalar);
        if (std::strcmp(forced, known.c_str()) == 0)
            return Isa::Scalar;
        for (const Isa isa : kVectorIsas) {
            (known += ", ") += forcedName(isa);
            if (std::strcmp(forced, forcedName(isa)) != 0)
                continue;
            if (!isaSupported(isa)) {
                std::fprintf(stderr, "VEILCAST_ISA=%s: this processor does not support %s\n", forced, isaName(isa));
                std::abort();
            }
            return isa;
        }
        std::fprintf(stderr, "VEILCAST_ISA=%s: not one of %s\n", forced, known.c_str());
        std::abort();
    }
    Isa best = Isa::Scalar;
    for (const Isa isa : kVectorIsas)
        if (isaSupported(isa))
            best = isa;
    return best;
}

}  // namespace

Isa dispatchedIsa()
{
    static const Isa chosen = chooseIsa();
    return chosen;
}

SpanKernel spanKernel(Isa isa)
{
    switch (isa) {
#if defined(__x86_64__)
    case Isa::Sse2: return keySpanSse2;
    case Isa::Avx2: return keySpanAvx2;
    case Isa::Avx512: return keySpanAvx512;
#elif defined(__aarch64__)
    case Isa::Neon: return keySpanNeon;
#endif
    default: return keySpanScalar;
    }
}

void keySpanWith(Isa isa, const KeyParams& params, const ScreenAnalysis& screen, std::int32_t x, std::int32_t r,
                 const RowArrays& arrays)
{
    spanKernel(isa)(params, screen, x, r, arrays);
}

MappedSpanKernel mappedSpanKernel(Isa isa)
{
    switch (isa) {
#if defined(__x86_64__)
    case Isa::Sse2: return keySpanMappedSse2;
    case Isa::Avx2: return keySpanMappedAvx2;
    case Isa::Avx512: return keySpanMappedAvx512;
#elif defined(__aarch64__)
    case Isa::Neon: return keySpanMappedNeon;
#endif
    default: return keySpanMappedScalar;
    }
}

MappedSpanKernel dispatchedMappedKernel()
{
    static const MappedSpanKernel kernel = mappedSpanKernel(dispatchedIsa());
    return kernel;
}

SpanKernel dispatchedKernel()
{
    static const SpanKernel kernel = spanKernel(dispatchedIsa());
    return kernel;
}

}  // namespace zav::detail
