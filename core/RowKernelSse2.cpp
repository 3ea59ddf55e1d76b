// The row kernel compiled for this instruction set; see RowKernelVector.h.
#define KEYER_VECTOR_WIDTH 4
#define KEYER_KERNEL_NAME keySpanSse2
#include "RowKernelVector.h"
