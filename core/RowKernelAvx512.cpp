// The row kernel compiled for this instruction set; see RowKernelVector.h.
#define KEYER_VECTOR_WIDTH 16
#define KEYER_KERNEL_NAME keySpanAvx512
#include "RowKernelVector.h"
