// The row kernel compiled for this instruction set; see RowKernelVector.h.
#define KEYER_VECTOR_WIDTH 8
#define KEYER_KERNEL_NAME keySpanAvx2
#include "RowKernelVector.h"
