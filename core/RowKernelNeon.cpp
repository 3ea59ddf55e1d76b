// SPDX-License-Identifier: Apache-2.0
// The row kernel for 64-bit ARM; see RowKernelVector.h.
//
// NEON is part of every 64-bit ARM processor, so the kernel needs no target
// pragma and dispatch no probe: the file is compiled like the rest of the core.
#include "KeyMath.h"
#include "RowKernel.h"

#include <arm_neon.h>
#include <cmath>
#include <cstring>

#define KEYER_VECTOR_WIDTH 4
#define KEYER_KERNEL_NAME keySpanNeon
#define KEYER_MAPPED_KERNEL_NAME keySpanMappedNeon
#include "RowKernelVector.h"
