// Plain data shared between the dispatcher and the per-instruction-set
// kernels. Nothing here may be an inline function or a template: see
// kernel.hpp for why.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvel::detail {

// One step of the stretched-sequence walk: add value `value` `repeats` times
// to the running block sum; if `closes_block`, the block is then complete.
// The same walk serves every window of a call, so it is planned once.
struct Run {
  std::int32_t value;
  std::int32_t repeats;
  std::int32_t closes_block;
};

struct KernelArgs {
  const double *ts;     // the series
  std::int64_t stride;  // window i starts at ts + i * stride
  std::int64_t count;   // number of windows
  std::int32_t n;       // window length, > 0
  std::int32_t w;       // segments per window, > 0
  const Run *runs;      // the stretched walk for (n, w)
  std::size_t run_count;
  // Exactly one of the two tile buffers is set, each holding `lanes` rows of
  // w cells: means, or letters.
  double *means;
  char *letters;
  const double *cuts; // breakpoints for the letters, ascending
  std::int32_t cut_count;
  // Called after each tile with its first window and its number of rows;
  // may throw, which ends the computation.
  void (*emit)(void *context, std::int64_t first, std::int32_t rows);
  void *context;
};

// Rows per tile for each instruction set's kernel: the tile buffers above
// must hold this many rows (or the window count, if smaller).
inline constexpr std::int32_t max_tile_rows = 32;

} // namespace morvel::detail
