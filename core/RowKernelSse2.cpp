// SPDX-License-Identifier: Apache-2.0
// The row kernel compiled for SSE2; see RowKernelVector.h.
//
// Only the kernel is built for SSE2. The shared headers come first and are
// compiled for the baseline processor; the kernel follows under a target
// pragma (not a file-wide -m flag), so no inline function of those headers
// (luminance, usesSourceAlpha, the standard library's) is ever emitted here
// with wider instructions for the linker to pick in place of the baseline one.
#include "KeyMath.h"
#include "RowKernel.h"

#include <cmath>
#include <cstring>
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse2")
#endif

#define KEYER_VECTOR_WIDTH 4
#define KEYER_KERNEL_NAME keySpanSse2
#define KEYER_MAPPED_KERNEL_NAME keySpanMappedSse2
#include "RowKernelVector.h"

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
