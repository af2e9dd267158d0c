// The squared gaps of a window's scaled values to another's, in lanes, for
// the division-free upper bounds of join_bounds.hpp (any order of the sum
// serves a bound). Part of kernel.hpp, compiled once per instruction set;
// uses kernel_boxes.hpp's lanes_total.
#pragma once

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

double scaled_squares_kernel(const double *z, const double *v, std::int64_t n,
                             double mean, double scale, double limit) {
  const vec centre = broadcast(mean), factor = broadcast(scale);
  vec sums[2] = {broadcast(0.0), broadcast(0.0)};
  std::int64_t i = 0;
  // Two sums, so that each one's additions overlap the other's; the limit
  // is looked at every 16 vectors.
  for (std::int64_t look = 0; i + 2 * width <= n; i += 2 * width) {
    for (int s = 0; s < 2; ++s) {
      const vec gap =
          load(z + i + s * width) - (load(v + i + s * width) - centre) * factor;
      sums[s] += gap * gap;
    }
    if (++look % 8 == 0) {
      const double total = lanes_total(sums[0] + sums[1]);
      if (total > limit)
        return total;
    }
  }
  double total = lanes_total(sums[0] + sums[1]);
  for (; i < n; ++i) {
    const double gap = z[i] - (v[i] - mean) * scale;
    total += gap * gap;
  }
  return total;
}

} // namespace
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
