// Upper bounds of the matrix profile, cheap: each ranked window's distance
// to a few windows beside it in key order (similar words), the nearest of
// them kept as a hint for its search. A window's nearest other window is
// at most that far.
//
// The distances are not the defined ones but bounds of them, computed
// without divisions and in any order. Let t_i = fl(v_i - mu) for a window's
// computed moments mu, sd; the distance reads Z_i = fl(t_i / sd), this reads
// z_i = fl(t_i r), r = fl(1 / sd), so |z_i - Z_i| <= 3.0001u |Z_i| (values
// within a few subnormal steps of 0 add about 2^-1073 absolutely, which
// the term below covers). A ranked window is regular: fl(max|t| / sd) <=
// 2 sqrt(n), so |Z_i| <= 2 sqrt(n) (1 + u) and ||Z|| <= 2n (1 + u) (not
// sqrt(n): squares that underflow can make sd small). With d = fl(sqrt(S)),
// S the squares of fl(z_x - z_y) summed in any order, and the defined D
// within (1 + gamma_{n+3}) of ||Z_x - Z_y||,
//   D <= (1 + gamma_{n+3}) ((1 + gamma_{n+3}) d + 12.001 n u),
// which distance_above(d, n) exceeds with its own rounding. The bounds hold
// for the series and rounding the index was built with.
#pragma once

#include "kernel_interface.hpp"
#include "rounding.hpp"
#include "self_join.hpp"
#include "walk.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace morvel::detail {

struct JoinBounds {
  static constexpr std::uint32_t none = 0xffffffffU; // no window numbered so
  std::vector<double> upper;        // per window: +inf unknown, NaN no shape
  std::vector<std::uint32_t> hints; // per window: the window so near, or none
};

// An upper bound of the defined distance of two ranked windows whose
// division-free distance (above) is `d`. O(1).
inline double distance_above(double d, std::int64_t n) {
  const double u = unit_roundoff;
  const double length = static_cast<double>(n);
  return (d + 13.0 * length * u) * (1.0 + 4.0 * (length + 8.0) * u);
}

// `means` and `deviations`, when given, hold every window's moments.
inline JoinBounds join_bounds(const IndexShape &shape,
                              const IndexTables &tables, const double *ts,
                              std::int64_t exclude, std::int32_t threads,
                              const JoinProgress &progress,
                              const double *known_means = nullptr,
                              const double *known_deviations = nullptr) {
  constexpr std::int64_t looks = 1; // windows tried on each side
  JoinBounds bounds;
  try {
    bounds.upper.assign(static_cast<std::size_t>(shape.count),
                        std::numeric_limits<double>::infinity());
    bounds.hints.assign(static_cast<std::size_t>(shape.count),
                        JoinBounds::none);
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  for (std::int64_t i = 0; i < tables.shapeless_count; ++i)
    bounds.upper[tables.shapeless[i]] =
        std::numeric_limits<double>::quiet_NaN();
  const std::int64_t n = shape.window;
  // Ranked positions beyond a step whose moments it keeps at hand.
  constexpr std::int64_t margin = 4 * looks;
  in_steps(
      tables.ranked, 1024, threads, progress,
      [&](std::int64_t first, std::int64_t last) {
        const std::int64_t low = std::max<std::int64_t>(0, first - margin);
        const std::int64_t high = std::min(tables.ranked, last + margin);
        std::vector<double> means(static_cast<std::size_t>(high - low)),
            deviations(means.size());
        if (known_means == nullptr) {
          std::vector<const double *> starts(means.size());
          for (std::int64_t r = low; r < high; ++r)
            starts[r - low] =
                ts + std::int64_t{tables.windows[r]} * shape.stride;
          moments_at(starts.data(), high - low, static_cast<std::int32_t>(n),
                     means.data(), deviations.data());
        }
        const auto moments_of = [&](std::int64_t r, double &mean,
                                    double &deviation) {
          if (known_means != nullptr) {
            mean = known_means[tables.windows[r]];
            deviation = known_deviations[tables.windows[r]];
            return;
          }
          if (r >= low && r < high) {
            mean = means[r - low];
            deviation = deviations[r - low];
            return;
          }
          const double *values =
              ts + std::int64_t{tables.windows[r]} * shape.stride;
          moments_at(&values, 1, static_cast<std::int32_t>(n), &mean,
                     &deviation);
        };
        // A window's values scaled, and its squared distance to another's
        // (abandoned above `limit`).
        std::vector<double> zx(static_cast<std::size_t>(n));
        const auto scaled = [&](const double *v, double mean, double deviation,
                                double *z) {
          const double r = 1.0 / deviation;
          for (std::int64_t i = 0; i < n; ++i)
            z[i] = (v[i] - mean) * r;
        };
        const auto squares_to = [&, squares = best_kernels().scaled_squares](
                                    const double *v, double mean,
                                    double deviation, double limit) {
          return squares(zx.data(), v, n, mean, 1.0 / deviation, limit);
        };
        for (std::int64_t r = first; r < last; ++r) {
          const std::int64_t x = tables.windows[r];
          double mean, deviation;
          moments_of(r, mean, deviation);
          scaled(ts + x * shape.stride, mean, deviation, zx.data());
          double best = std::numeric_limits<double>::infinity(); // squared
          std::int64_t hint = -1;
          for (const std::int64_t direction : {-1, 1}) {
            std::int64_t tried = 0;
            for (std::int64_t at = r + direction;
                 at >= 0 && at < tables.ranked && tried < looks;
                 at += direction) {
              const std::int64_t y = tables.windows[at];
              const std::int64_t gap = (y - x) * shape.stride;
              if (gap <= exclude && -gap <= exclude)
                continue;
              ++tried;
              double y_mean, y_deviation;
              moments_of(at, y_mean, y_deviation);
              const double squares =
                  squares_to(ts + y * shape.stride, y_mean, y_deviation, best);
              if (squares < best) {
                best = squares;
                hint = y;
              }
            }
          }
          if (hint >= 0) {
            bounds.upper[static_cast<std::size_t>(x)] =
                distance_above(std::sqrt(best), n);
            bounds.hints[static_cast<std::size_t>(x)] =
                static_cast<std::uint32_t>(hint);
          }
        }
        return true;
      });
  return bounds;
}

} // namespace morvel::detail
