// 8 doubles per vector, 4 vectors per tile.
#define MORVEL_KERNEL_NAMESPACE avx512
#define MORVEL_KERNEL_WIDTH 8
#define MORVEL_KERNEL_CHAINS 4
#include "kernel.hpp"
