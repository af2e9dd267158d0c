// The matrix profile: the sweep where the series suits it, else a search
// per window for its nearest other window. Neighbouring windows tend to
// have neighbouring nearest windows, so each search starts from the nearest
// window of the window before, moved on by one: its distance, computed
// first, prunes from the start.
#include "profile_sweep.hpp"

#include <limits>
#include <mutex>

namespace morvel {

double matrix_profile_bytes(const IndexShape &shape, const IndexTables &tables,
                            std::int32_t threads) {
  // The blocks' boxes; per thread one search, and a query's cells and
  // values.
  return static_cast<double>(tables.ranked) / detail::word_block_size * 2.0 *
             static_cast<double>(shape.w) +
         threads * (search_bytes(shape, tables, 1) +
                    8.0 * static_cast<double>(shape.window +
                                              shape.w * fine_symbol_count)) +
         detail::sweep_bytes(shape, threads);
}

namespace detail {

void search_profile(const IndexShape &shape, const IndexTables &tables,
                    const double *ts, std::int64_t exclude,
                    std::int32_t threads, const JoinProgress &progress,
                    double *distances, std::int64_t *neighbours,
                    SearchStats &stats) {
  const std::vector<std::uint8_t> blocks = word_blocks(shape, tables);
  std::mutex stats_mutex;
  // Steps of consecutive windows, so that each but the first of a step
  // starts from its predecessor's answer.
  constexpr std::int64_t step = 256;
  in_steps(shape.count, step, threads, progress,
           [&](std::int64_t first, std::int64_t last) {
             SearchStats mine;
             std::int64_t hint = -1;
             for (std::int64_t i = first; i < last; ++i) {
               if (listed(tables.shapeless, tables.shapeless_count, i)) {
                 distances[i] = std::numeric_limits<double>::quiet_NaN();
                 neighbours[i] = -1;
                 hint = -1;
                 continue;
               }
               const AwayFrom away{i * shape.stride, exclude, shape.stride};
               const Nearest nearest =
                   nearest_other(shape, tables, ts, blocks.data(), i, away,
                                 hint, -search_infinity, mine);
               ++mine.nearest;
               distances[i] = nearest.distance;
               neighbours[i] =
                   nearest.window < 0 ? -1 : nearest.window * shape.stride;
               hint = nearest.window < 0 ? -1 : nearest.window + 1;
             }
             std::lock_guard<std::mutex> lock(stats_mutex);
             stats += mine;
             return true;
           });
}

} // namespace detail

void matrix_profile(const IndexShape &shape, const IndexTables &tables,
                    const double *ts, std::int64_t exclude,
                    std::int32_t threads, const JoinProgress &progress,
                    double *distances, std::int64_t *neighbours,
                    SearchStats &stats) {
  exclude = std::min(exclude, shape.length);
  if (!detail::sweep_profile(shape, tables, ts, exclude, threads, progress,
                             distances, neighbours, stats))
    detail::search_profile(shape, tables, ts, exclude, threads, progress,
                           distances, neighbours, stats);
}

} // namespace morvel
