// 4 doubles per vector, 8 vectors per tile.
#define MORVEL_KERNEL_NAMESPACE avx2
#define MORVEL_KERNEL_WIDTH 4
#define MORVEL_KERNEL_CHAINS 8
#include "kernel.hpp"
