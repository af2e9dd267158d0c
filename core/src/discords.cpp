// Discords without the whole profile. Every window's profile value is at
// most its bound (join_bounds.hpp); windows are taken in descending order
// of it, and each one's search stops at the first window nearer than L, a
// proven lower bound of the k-th discord's value: such a window can be no
// discord. L comes from the values found so far: 2k - 1 windows pairwise
// more than `exclude` apart, each at least L, leave one of them to every
// greedy choice of fewer than k (each choice shuts out at most two), so the
// k-th choice is at least L. Every window whose value is L or more is thus
// found, and the greedy choice over them is the choice over all.
#include "join_bounds.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <numeric>

namespace morvel {
namespace {

struct Profiled {
  double distance;
  std::int64_t window;
  std::int64_t neighbour; // its number
};

// Larger first, then the lower window: the order of the greedy choice.
bool before(const Profiled &a, const Profiled &b) {
  return a.distance > b.distance ||
         (a.distance == b.distance && a.window < b.window);
}

// The greedy choice over `found` (sorted by `before`) of up to `places`
// windows pairwise more than `exclude` apart.
std::vector<Profiled> greedy(const std::vector<Profiled> &found,
                             std::int64_t places, std::int64_t exclude,
                             std::int64_t stride) {
  std::vector<Profiled> chosen;
  detail::Zones zones(exclude);
  for (const Profiled &one : found) {
    if (static_cast<std::int64_t>(chosen.size()) == places)
      break;
    if (!zones.free(one.window * stride))
      continue;
    chosen.push_back(one);
    zones.take(one.window * stride);
  }
  return chosen;
}

} // namespace

double discords_bytes(const IndexShape &shape, const IndexTables &tables,
                      std::int64_t k, std::int32_t threads) {
  // Per window: its moments, its bound, its hint and its place in the
  // order; per thread a search; the values found, a few per discord.
  return static_cast<double>(shape.count) * 32.0 +
         matrix_profile_bytes(shape, tables, threads) +
         static_cast<double>(std::min(k, shape.count)) * 256.0;
}

void discords(const IndexShape &shape, const IndexTables &tables,
              const double *ts, std::int64_t k, std::int64_t exclude,
              std::int32_t threads, const JoinProgress &progress,
              double *distances, std::int64_t *starts, std::int64_t *neighbours,
              SearchStats &stats) {
  exclude = std::min(exclude, shape.length);
  const std::vector<std::uint8_t> blocks = detail::word_blocks(shape, tables);
  // Every window's moments, once, for the bounds and the many searches.
  std::vector<double> means, deviations;
  try {
    means.resize(static_cast<std::size_t>(shape.count));
    deviations.resize(static_cast<std::size_t>(shape.count));
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  detail::in_steps(shape.count, 4096, threads, nullptr,
                   [&](std::int64_t first, std::int64_t last) {
                     detail::moments(ts, shape.stride, first, last - first,
                                     static_cast<std::int32_t>(shape.window),
                                     means.data() + first,
                                     deviations.data() + first);
                     return true;
                   });
  const detail::JoinBounds bounds =
      detail::join_bounds(shape, tables, ts, exclude, threads, progress,
                          means.data(), deviations.data());
  std::vector<std::uint32_t> order;
  try {
    order.reserve(static_cast<std::size_t>(shape.count));
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  for (std::int64_t i = 0; i < shape.count; ++i)
    if (!std::isnan(bounds.upper[static_cast<std::size_t>(i)]))
      order.push_back(static_cast<std::uint32_t>(i));
  const auto descending = [&](std::uint32_t a, std::uint32_t b) {
    return bounds.upper[a] > bounds.upper[b] ||
           (bounds.upper[a] == bounds.upper[b] && a < b);
  };
  const std::int64_t wanted = 2 * std::min(k, shape.count) - 1;
  std::mutex mutex;
  std::vector<Profiled> found;                             // sorted by `before`
  double floor = -std::numeric_limits<double>::infinity(); // L
  // Most windows' bounds fall below L early: the order is sorted a
  // growing prefix at a time, and the rest only when the prefix is spent.
  std::size_t sorted = 0, begin = 0;
  bool spent = false; // a bound below L was met: every later one is too
  for (std::size_t prefix = 1024; !spent && begin < order.size(); prefix *= 2) {
    const auto middle =
        order.begin() +
        static_cast<std::ptrdiff_t>(std::min(order.size(), sorted + prefix));
    std::nth_element(order.begin() + static_cast<std::ptrdiff_t>(sorted),
                     middle, order.end(), descending);
    std::sort(order.begin() + static_cast<std::ptrdiff_t>(sorted), middle,
              descending);
    sorted = static_cast<std::size_t>(middle - order.begin());
    detail::in_steps(
        static_cast<std::int64_t>(sorted - begin), 16, threads, progress,
        [&](std::int64_t first, std::int64_t last) {
          SearchStats mine;
          bool more = true;
          first += static_cast<std::int64_t>(begin);
          last += static_cast<std::int64_t>(begin);
          for (std::int64_t at = first; at < last; ++at) {
            const std::uint32_t window = order[static_cast<std::size_t>(at)];
            double below;
            {
              std::lock_guard<std::mutex> lock(mutex);
              below = floor;
            }
            if (bounds.upper[window] < below) {
              more = false; // so is every bound after it
              std::lock_guard<std::mutex> lock(mutex);
              spent = true;
              break;
            }
            const detail::AwayFrom away{window * shape.stride, exclude,
                                        shape.stride};
            const std::uint32_t hint = bounds.hints[window];
            const detail::Nearest nearest = detail::nearest_other(
                shape, tables, ts, blocks.data(), window, away,
                hint == detail::JoinBounds::none ? -1 : std::int64_t{hint},
                below, mine, means.data(), deviations.data());
            if (nearest.stopped)
              continue; // nearer than L
            ++mine.nearest;
            if (nearest.window < 0)
              continue; // never chosen (+inf)
            std::lock_guard<std::mutex> lock(mutex);
            const Profiled one{nearest.distance, window, nearest.window};
            found.insert(
                std::upper_bound(found.begin(), found.end(), one, before), one);
            const std::vector<Profiled> apart =
                greedy(found, wanted, exclude, shape.stride);
            if (static_cast<std::int64_t>(apart.size()) == wanted)
              floor = std::max(floor, apart.back().distance);
          }
          std::lock_guard<std::mutex> lock(mutex);
          stats += mine;
          return more;
        });
    begin = sorted;
  }
  const std::int64_t places = std::min(k, shape.count);
  const std::vector<Profiled> chosen =
      greedy(found, places, exclude, shape.stride);
  for (std::int64_t i = 0; i < places; ++i) {
    const bool filled = i < static_cast<std::int64_t>(chosen.size());
    const Profiled *one =
        filled ? &chosen[static_cast<std::size_t>(i)] : nullptr;
    distances[i] =
        filled ? one->distance : std::numeric_limits<double>::quiet_NaN();
    starts[i] = filled ? one->window * shape.stride : -1;
    neighbours[i] = filled ? one->neighbour * shape.stride : -1;
  }
}

} // namespace morvel
