// The sliding-window kernels, many independent sums side by side, one per
// SIMD lane. Each lane performs exactly the operations of its own sum, in the
// order of the serial reference (znormalise, then paa_segments' stretched
// sums): lanes share instructions, never the additions of one sum.
//
//  - windows_kernel: one window per lane, for many windows. Each lane runs a
//    whole window: mean, variance, then the stretched walk.
//  - segments_kernel: one (window, segment) pair per lane, for a few
//    windows. Each lane adds up one segment's block of the stretched
//    sequence; the window's mean and deviation are computed before.
//
// The kernel is in three parts: the lanes (vector types, transposes, block
// means and letters), the windows kernel and the segments kernel. This file
// puts them together, once per instruction set, each time in its own
// namespace (MORVEL_KERNEL_NAMESPACE) and with its own target flags. It must
// not call inline functions or templates from any shared header: the linker
// keeps one copy of such a function for the whole program, and that copy
// could be the one compiled for an instruction set this CPU lacks. Everything
// it needs is defined in those parts, in an anonymous namespace, or is a
// constant or an internal function of rounding.hpp.
#include "kernel_interface.hpp"
#include "morvel/morvel.hpp" // the zero-snap threshold, a constant
#include "rounding.hpp"

#include <cstddef>
#include <cstdint>

#if !defined(MORVEL_KERNEL_NAMESPACE) || !defined(MORVEL_KERNEL_WIDTH) ||      \
    !defined(MORVEL_KERNEL_CHAINS)
#error "define the kernel's namespace, vector width and chain count first"
#endif

#if !defined(MORVEL_KERNEL_PLAIN) && !(defined(__GNUC__) || defined(__clang__))
#define MORVEL_KERNEL_PLAIN 1 // no vector extensions: the plain C++ lanes
#endif

#if defined(MORVEL_KERNEL_PLAIN)
#include <cmath>
#include <cstring>
#endif

// Loops over a tile's vectors must be unrolled so that each accumulator
// stays in a register.
#if defined(__GNUC__) || defined(__clang__)
#define MORVEL_UNROLLED _Pragma("GCC unroll 16")
#else
#define MORVEL_UNROLLED
#endif

#include "kernel_lanes.hpp"
#include "kernel_segments.hpp"
#include "kernel_windows.hpp"

// Uses the lanes above.
#include "kernel_boxes.hpp"
#include "kernel_certified.hpp"
#include "kernel_gaps.hpp"
#include "kernel_profile.hpp"
#include "kernel_summaries.hpp"

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {

// This instruction set's entry: its lanes are the tile the windows kernel
// above was compiled for.
const Kernels kernels{lanes,
                      &windows_kernel,
                      &segments_kernel,
                      &certified_kernel,
                      &summaries_kernel,
                      width,
                      &profile_kernel,
                      &boxes_apart_kernel,
                      &estimates_apart_kernel,
                      &scaled_squares_kernel};

} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE

#undef MORVEL_UNROLLED
