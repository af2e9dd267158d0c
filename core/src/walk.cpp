// The literal walk, for what the kernels leave.
#include "walk.hpp"

#include "morvel/alphabet.hpp"
#include "morvel/morvel.hpp"
#include "window_moments.hpp"

#include <algorithm>
#include <cmath>

namespace morvel::detail {
namespace {

// Means and standard deviations of K windows starting at start[0 .. K-1].
template <int K>
void moments_of(const double *const *start, std::int32_t n, double *means,
                double *deviations) {
  window_moments<K, false>(
      [start](int k, std::int64_t i) { return start[k][i]; }, n, means,
      deviations, nullptr);
}

} // namespace

void moments_at(const double *const *starts, std::int64_t count, std::int32_t n,
                double *means, double *deviations) {
  std::int64_t i = 0;
  for (; i + 8 <= count; i += 8)
    moments_of<8>(starts + i, n, means + i, deviations + i);
  for (; i + 4 <= count; i += 4)
    moments_of<4>(starts + i, n, means + i, deviations + i);
  for (; i + 2 <= count; i += 2)
    moments_of<2>(starts + i, n, means + i, deviations + i);
  for (; i < count; ++i)
    moments_of<1>(starts + i, n, means + i, deviations + i);
}

void moments(const double *ts, std::int64_t stride, std::int64_t first,
             std::int64_t count, std::int32_t n, double *means,
             double *deviations) {
  constexpr std::int64_t batch = 64;
  const double *starts[batch];
  for (std::int64_t done = 0; done < count; done += batch) {
    const std::int64_t size = std::min(batch, count - done);
    for (std::int64_t i = 0; i < size; ++i)
      starts[i] = ts + (first + done + i) * stride;
    moments_at(starts, size, n, means + done, deviations + done);
  }
}

// A segment's mean from its block sum, snapped to +0.0 when tiny, stored as
// the cell the plan asks for: the mean itself or its letter.
void store_block(const Cells &cells, std::size_t at, double sum,
                 double length) {
  double block = sum / length;
  if (std::fabs(block) < zero_snap_threshold)
    block = 0.0;
  if (cells.means != nullptr)
    cells.means[at] = block;
  else
    cells.letters[at] = letter_for(block, cells.alpha);
}

// Segments from ... to - 1 of one window, the literal way: stretched
// positions from * n ... to * n - 1 as paa_segments walks them, each value
// normalised when reached.
void walk_segments(const double *x, std::int32_t n, std::int32_t w, double mean,
                   double deviation, const Cells &cells, std::size_t row,
                   std::int32_t from, std::int32_t to) {
  const double length = static_cast<double>(n);
  const std::int64_t begin = static_cast<std::int64_t>(from) * n;
  const std::int64_t end = static_cast<std::int64_t>(to) * n;
  double sum = 0.0;
  std::int64_t value = begin / w;
  auto rep = static_cast<std::int32_t>(begin % w);
  double z = (x[value] - mean) / deviation;
  std::int32_t pos = 0;
  auto segment = static_cast<std::size_t>(from);
  for (std::int64_t i = begin; i < end; ++i) {
    if (rep == w) {
      rep = 0;
      z = (x[++value] - mean) / deviation;
    }
    sum += z;
    ++rep;
    if (++pos == n) {
      pos = 0;
      store_block(cells, row * static_cast<std::size_t>(w) + segment++, sum,
                  length);
      sum = 0.0;
    }
  }
}

// One window, the literal way.
void serial_window(const double *x, std::int32_t n, std::int32_t w, double mean,
                   double deviation, const Cells &cells, std::size_t row) {
  if (w == 1) {
    // One segment: the sum of the normalised window, one value after
    // another. The values are normalised a stretch at a time, side by side
    // in vectors, which the processor overlaps with the chain of additions
    // over the stretch before.
    // Positions in 64 bits: the stretch after the last can start past the
    // 32-bit range.
    constexpr std::int64_t stretch = 256;
    double values[stretch];
    double sum = 0.0;
    for (std::int64_t from = 0; from < n; from += stretch) {
      const std::int64_t count = n - from < stretch ? n - from : stretch;
      for (std::int64_t i = 0; i < count; ++i)
        values[i] = (x[from + i] - mean) / deviation;
      for (std::int64_t i = 0; i < count; ++i)
        sum += values[i];
    }
    store_block(cells, row, sum, static_cast<double>(n));
    return;
  }
  walk_segments(x, n, w, mean, deviation, cells, row, 0, w);
}

} // namespace morvel::detail
