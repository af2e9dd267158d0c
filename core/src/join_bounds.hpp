// Upper bounds of the matrix profile, cheap: each ranked window's distance
// to a few windows beside it in key order (similar words), the nearest of
// them kept as a hint for its search. A window's nearest other window is
// at most that far.
#pragma once

#include "self_join.hpp"
#include "walk.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace morvel::detail {

struct JoinBounds {
  static constexpr std::uint32_t none = 0xffffffffU; // no window numbered so
  std::vector<double> upper;        // per window: +inf unknown, NaN no shape
  std::vector<std::uint32_t> hints; // per window: the window so near, or none
};

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
        std::vector<double> zx(static_cast<std::size_t>(n));
        for (std::int64_t r = first; r < last; ++r) {
          const std::int64_t x = tables.windows[r];
          const double *values = ts + x * shape.stride;
          double mean, deviation;
          moments_of(r, mean, deviation);
          for (std::int64_t i = 0; i < n; ++i)
            zx[i] = (values[i] - mean) / deviation;
          double best = std::numeric_limits<double>::infinity();
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
              bool abandoned = false;
              const double distance =
                  window_distance(ts + y * shape.stride, n, y_mean, y_deviation,
                                  zx.data(), abandon_above(best), abandoned);
              if (!abandoned &&
                  (distance < best || (distance == best && y < hint))) {
                best = distance;
                hint = y;
              }
            }
          }
          bounds.upper[static_cast<std::size_t>(x)] = best;
          if (hint >= 0)
            bounds.hints[static_cast<std::size_t>(x)] =
                static_cast<std::uint32_t>(hint);
        }
        return true;
      });
  return bounds;
}

} // namespace morvel::detail
