// What the planner and the per-instruction-set kernels share: plain data and
// declarations only. Nothing here may be an inline function or a template:
// see kernel.hpp for why.
#pragma once

#include "morvel/plan.hpp"

#include <cstddef>
#include <cstdint>

namespace morvel::detail {

// What a kernel writes a block mean into: exactly one of the two is set,
// each holding rows of w cells.
struct Cells {
  double *means;      // paa
  char *letters;      // sax
  const double *cuts; // the breakpoints of the letters, ascending
  std::int32_t cut_count;
  std::int32_t alpha; // their alphabet
  const char *grid;   // its letter_grid, for certified letters
};

// Windows side by side, one per lane: `count` windows (a whole number of
// tiles of the kernel's lanes) starting with window `first`.
struct WindowArgs {
  const double *ts;    // the series
  std::int64_t stride; // window i starts at ts + i * stride
  std::int64_t first;
  std::int64_t count;
  std::int32_t n; // window length, > 0
  std::int32_t w; // segments per window, > 0
  Cells cells;    // one tile: the kernel's lanes rows
  // Lane-major copies of windows that are not contiguous neighbours:
  // room for scratch_values values of every lane.
  double *scratch;
  std::int64_t scratch_values;
  // Called after each tile with its first window and its number of rows;
  // may throw, which ends the computation.
  void (*emit)(void *context, std::int64_t first, std::int32_t rows);
  void *context;
};

// Segments side by side, one (window, segment) pair per lane, for a few
// windows: their means and standard deviations first, the windows side by
// side, then their segments.
struct SegmentArgs {
  const double *ts;
  std::int64_t length; // of the series
  std::int64_t stride;
  std::int64_t first; // the windows are first ... first + count - 1
  std::int64_t count;
  std::int32_t n;
  std::int32_t w;
  double *window_means; // room for count of each
  double *window_deviations;
  bool moments_known; // else the kernel computes them first
  Cells cells;        // count rows
  // Normalised values of each lane, slot by slot: room for
  // scratch_slots slots of the kernel's lanes.
  double *scratch;
  std::int64_t scratch_slots;
};

// Letters decided from a bound, for the windows of one chunk of the series,
// one window per lane. Of the chunk's values x[0 .. span - 1] the kernel
// reads only their prefix sums, shifted exactly by some constant (see
// certified.cpp), span + 1 of each. A letter whose bound straddles a
// breakpoint, and every letter of a window the bound cannot serve, is written
// as 0, and counted.
struct CertifiedArgs {
  const double *sums;     // sums[k] = y[0] + ... + y[k - 1], y = x - shift
  const double *squares;  // squares[k] = y[0]^2 + ... + y[k - 1]^2
  double largest;         // max |x[k]| over the span
  double largest_shifted; // max |y[k]| over the span
  std::int64_t span;
  std::int64_t stride;
  std::int64_t count; // windows in the chunk: window i starts at i * stride
  std::int32_t n;
  std::int32_t w;
  Cells cells;            // count rows
  std::int64_t undecided; // out: cells written as 0
};

// The index's summaries of `count` windows one value apart (a whole number
// of tiles), window i starting at ts + first + i: each one's mean, standard
// deviation and largest |deviation|, and the estimate of its w segment
// means, read through the feeds (value feed_values[f] with weight
// feed_weights[f] for f in feed_first[j] ... feed_first[j + 1] - 1).
struct SummaryArgs {
  const double *ts;
  std::int64_t first;
  std::int64_t count;
  std::int32_t n;
  std::int32_t w;
  const std::int32_t *feed_values;
  const double *feed_weights;
  const std::int32_t *feed_first;
  double *means; // count of each
  double *deviations;
  double *largest;
  double *segments; // count rows of w
};

// One tile of the matrix profile's sweep (profile_sweep.cpp): `width`
// stretches of `rows` consecutive windows side by side, lane l's window s
// the tile's row l * rows + s, each paired with the windows `diagonals`
// after it (diagonal k: the window k + d0 after it, d0 the tile's first).
// Every array is lane-major: slot p of lane l at [p * width + l]. Lane l's
// values are x shifted by its own constant, so that products stay near the
// windows' own scale; y (rows) for rows + n - 1 positions, z (columns) for
// rows + diagonals + n - 2, starting with the lane's first row's window and
// the first column window it meets. For pair (s, k) the kernel keeps the
// bound v = ((P - sums_s * means_c) * scales_s) * scales_c, c = s + k,
// P = y_s . z_c by a running sum along the diagonal from its exact first
// value plus `start` (the lane's error bound, so that P never falls below
// the true product), and each row's and column's largest v, its second and
// the pair that gave the largest. A NaN scale leaves every v of its window
// NaN, which no comparison chooses.
struct ProfileArgs {
  std::int32_t n;
  std::int32_t rows;
  std::int32_t diagonals;
  const double *row_values;
  const double *row_sums;   // rows slots: each row window's sum of y
  const double *row_scales; // rows slots
  const double *column_values;
  const double *column_means; // rows + diagonals - 1 slots: sum of z / n
  const double *column_scales;
  const double *start; // one slot
  double *products;    // diagonals slots, scratch
  // Out: per row slot the largest v, the second, and its k; per column
  // slot the same with its s. -inf, -inf and -1 where nothing was seen.
  double *row_best;
  double *row_second;
  double *row_partner;
  double *column_best;   // rows + diagonals - 1 slots each, which the
  double *column_second; // caller fills with -inf, -inf and -1
  double *column_partner;
};

// Lanes of the widest group any kernel runs at once (eight vectors of
// eight), for sizing the buffers above.
inline constexpr std::int32_t max_kernel_lanes = 64;

// One instruction set's kernels, and the windows kernel's tile: `lanes`
// windows side by side, as the kernel itself defines them.
struct Kernels {
  std::int64_t lanes;
  void (*windows)(const WindowArgs &);
  void (*segments)(const SegmentArgs &);
  void (*certified)(CertifiedArgs &);
  void (*summaries)(const SummaryArgs &);
  std::int64_t profile_width; // the profile tile's lanes
  void (*profile)(const ProfileArgs &);
  // The motifs' bounds as bits (motif_blocks.hpp): boxes a[i] against b[k]
  // (w lows, then w highs; a[1] right after a[0]), bit 2i + k; the float
  // estimates of block a's eight windows against block b's (window k's
  // segment j at [8 j + k]), bit 8k + m for a's window k and b's m. A bit
  // is set where the squared gaps, summed, exceed `limit`.
  unsigned (*boxes_apart)(const float *a, const float *b, std::int64_t w,
                          double limit);
  std::uint64_t (*estimates_apart)(const float *a, const float *b,
                                   std::int64_t w, double limit);
  // The squares of z[i] - (v[i] - mean) scale over n values, summed in
  // some order; or a partial sum above `limit`, once one is (join_bounds).
  double (*scaled_squares)(const double *z, const double *v, std::int64_t n,
                           double mean, double scale, double limit);
};

// The kernels of the widest instruction set this CPU has. Never throws.
const Kernels &best_kernels() noexcept;

// The kernels of one instruction set, compiled in (the portable ones for a
// set that is not); whether this CPU runs them is usable_instruction_sets'
// to say. Never throws.
const Kernels &kernels_of(InstructionSet set) noexcept;

// Each compiled instruction set's entry, defined by its kernel_*.cpp.
namespace portable {
extern const Kernels kernels;
} // namespace portable
#if MORVEL_HAVE_X86_KERNELS
namespace avx2 {
extern const Kernels kernels;
} // namespace avx2
namespace avx512 {
extern const Kernels kernels;
} // namespace avx512
#endif

} // namespace morvel::detail
