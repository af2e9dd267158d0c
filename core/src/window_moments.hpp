// A window's moments exactly as znormalise computes them (one ordered chain
// for the sum, the mean, one for the squares of the deviations, the
// population standard deviation), and what they say of its shape. paa's
// walk, the index's build, its search and its brute force all read a
// window through this one routine, so that they agree on every bit and on
// which windows have a shape.
#pragma once

#include <cmath>
#include <cstdint>

namespace morvel::detail {

// What the index's bounds may do with a window: vouch for it (regular),
// leave it to be computed by every query (irregular: its scale is out of
// the range the bounds cover), or rank it after every number (shapeless:
// some z-normalised value is not finite, so its distance is NaN).
enum class WindowKind : std::uint8_t { regular, irregular, shapeless };

// The largest fl(max|dev| / sd) of a regular window.
inline double regular_limit(std::int64_t n) {
  return 2.0 * std::sqrt(static_cast<double>(n));
}

// A window's kind from its moments and its largest |x_i - mean|: NaN or
// zero deviation leaves some Z_i = dev_i / sd NaN or infinite; an infinite
// one makes every Z_i 0, or NaN where dev_i is infinite too; a finite one
// leaves every |Z_i| <= scale = fl(largest / sd).
inline WindowKind window_kind(double deviation, double largest, double scale,
                              std::int64_t n) {
  if (std::isnan(deviation) || deviation == 0.0)
    return WindowKind::shapeless;
  if (std::isinf(deviation))
    return std::isinf(largest) ? WindowKind::shapeless : WindowKind::irregular;
  if (std::isinf(scale))
    return WindowKind::shapeless;
  return scale <= regular_limit(n) ? WindowKind::regular
                                   : WindowKind::irregular;
}

// The moments of K windows, their chains interleaved so that they overlap;
// window k's value i is at(k, i). With `Largest`, also each window's
// largest |x_i - mean| (else `largest` may be null).
template <int K, bool Largest, typename At>
void window_moments(const At &at, std::int64_t n, double *means,
                    double *deviations, double *largest) {
  const double length = static_cast<double>(n);
  double sum[K], squares[K], mean[K], top[K];
  for (int k = 0; k < K; ++k) {
    sum[k] = 0.0;
    squares[k] = 0.0;
    top[k] = 0.0;
  }
  for (std::int64_t i = 0; i < n; ++i)
    for (int k = 0; k < K; ++k)
      sum[k] += at(k, i);
  for (int k = 0; k < K; ++k)
    mean[k] = sum[k] / length;
  for (std::int64_t i = 0; i < n; ++i)
    for (int k = 0; k < K; ++k) {
      const double dev = at(k, i) - mean[k];
      squares[k] += dev * dev;
      if constexpr (Largest) {
        const double size = std::fabs(dev);
        top[k] = top[k] < size ? size : top[k];
      }
    }
  for (int k = 0; k < K; ++k) {
    means[k] = mean[k];
    deviations[k] = std::sqrt(squares[k] / length);
    if constexpr (Largest)
      largest[k] = top[k];
  }
}

} // namespace morvel::detail
