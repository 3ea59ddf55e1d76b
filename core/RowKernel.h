// SPDX-License-Identifier: Apache-2.0
#pragma once

// The row kernels behind keyRow: the per-pixel reference and vector versions
// for each instruction set, all bit-identical. Internal to the core; the
// tests reach every version through keySpanWith.

#include "veilcast/core/ScreenKeyer.h"

#include <array>
#include <cstdint>

namespace zav::detail {

enum class Isa { Scalar, Sse2, Avx2, Avx512, Neon };

// The vector kernels built for the target processor, narrowest first. NEON is
// part of every 64-bit ARM processor, so there is nothing to choose there.
#if defined(__x86_64__)
inline constexpr std::array<Isa, 3> kVectorIsas{Isa::Sse2, Isa::Avx2, Isa::Avx512};
#elif defined(__aarch64__)
inline constexpr std::array<Isa, 1> kVectorIsas{Isa::Neon};
#else
inline constexpr std::array<Isa, 0> kVectorIsas{};
#endif

const char* isaName(Isa isa);
// False for a kernel not built for the target processor.
bool isaSupported(Isa isa);
// The best instruction set this processor supports, or the one the
// environment variable VEILCAST_ISA forces (scalar, or a built kernel's name
// in lower case: sse2, avx2, avx512 on x86-64, neon on 64-bit ARM); what
// keyRow uses. Chosen once. A forced set that is unknown or that the processor
// lacks ends the process with a message on the standard error.
Isa dispatchedIsa();

// The version of the kernel for an instruction set, which must be supported
// before it is run.
SpanKernel spanKernel(Isa isa);

// Keys pixels x..r-1 (x < r) with the given version of the kernel, which
// must be supported.
void keySpanWith(Isa isa, const KeyParams& params, const ScreenAnalysis& screen, std::int32_t x, std::int32_t r,
                 const RowArrays& arrays);

void keySpanScalar(const KeyParams&, const ScreenAnalysis&, std::int32_t, std::int32_t, const RowArrays&);
#if defined(__x86_64__)
void keySpanSse2(const KeyParams&, const ScreenAnalysis&, std::int32_t, std::int32_t, const RowArrays&);
void keySpanAvx2(const KeyParams&, const ScreenAnalysis&, std::int32_t, std::int32_t, const RowArrays&);
void keySpanAvx512(const KeyParams&, const ScreenAnalysis&, std::int32_t, std::int32_t, const RowArrays&);
#elif defined(__aarch64__)
void keySpanNeon(const KeyParams&, const ScreenAnalysis&, std::int32_t, std::int32_t, const RowArrays&);
#endif

// A row kernel with a screen colour per pixel: keys pixels x..r-1 (x < r),
// pixel i as keySpanScalar keys it alone with params.screenColor set to
// (screen[0][i], screen[1][i], screen[2][i]). The vector versions key each
// block of pixels whose screens share their dominant and ordered channels
// in vectors, any other pixel by itself.
using MappedSpanKernel = void (*)(const KeyParams&, std::int32_t, std::int32_t, const RowArrays&,
                                  const float* const screen[3]);
MappedSpanKernel mappedSpanKernel(Isa isa);
MappedSpanKernel dispatchedMappedKernel();

// keyRowMapped with a given kernel (the tests run it with every one).
void keyRowMappedWithKernel(MappedSpanKernel kernel, const KeyParams& params, std::int32_t x, std::int32_t r,
                            const RowArrays& arrays, const float* const screen[3], bool (*stop)(void*),
                            void* stopContext);

void keySpanMappedScalar(const KeyParams&, std::int32_t, std::int32_t, const RowArrays&, const float* const[3]);
#if defined(__x86_64__)
void keySpanMappedSse2(const KeyParams&, std::int32_t, std::int32_t, const RowArrays&, const float* const[3]);
void keySpanMappedAvx2(const KeyParams&, std::int32_t, std::int32_t, const RowArrays&, const float* const[3]);
void keySpanMappedAvx512(const KeyParams&, std::int32_t, std::int32_t, const RowArrays&, const float* const[3]);
#elif defined(__aarch64__)
void keySpanMappedNeon(const KeyParams&, std::int32_t, std::int32_t, const RowArrays&, const float* const[3]);
#endif

}  // namespace zav::detail
