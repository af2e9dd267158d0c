// 2 doubles per vector, 8 vectors per tile.
#define MORVEL_KERNEL_NAMESPACE portable
#define MORVEL_KERNEL_WIDTH 2
#define MORVEL_KERNEL_CHAINS 8
#include "kernel.hpp"
