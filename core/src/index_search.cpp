// Answering a query: q prepared for the bound, the strategy its answers
// call for, then the windows with no shape after every number.
#include "morvel/index.hpp"

#include "index_windows.hpp"
#include "search_strategies.hpp"
#include "walk.hpp"
#include "window_moments.hpp"

#include <algorithm>
#include <limits>

namespace morvel {

SearchStats &SearchStats::operator+=(const SearchStats &other) {
  leaf_bounds += other.leaf_bounds;
  leaves += other.leaves;
  window_bounds += other.window_bounds;
  distances += other.distances;
  abandoned += other.abandoned;
  nearest += other.nearest;
  return *this;
}

std::int64_t default_exclusion(std::int64_t window) { return (window + 3) / 4; }

double search_bytes(const IndexShape &shape, const IndexTables &tables,
                    std::int64_t k) {
  // Per answer: its place in the heap and among those found, and its start
  // in the exclusion set (a tree node); per leaf and irregular window: its
  // bound in the order and in the queue.
  const double places = static_cast<double>(std::min(k, shape.count));
  const double bounded =
      static_cast<double>(leaf_count(tables.ranked) + tables.irregular_count);
  return places * 96.0 + bounded * 48.0;
}

void search_index(const IndexShape &shape, const IndexTables &tables,
                  const double *ts, const double *q, std::int64_t k,
                  std::int64_t exclude, std::optional<double> within,
                  bool exact, double *distances, std::int64_t *starts,
                  SearchStats &stats) {
  const detail::Query query = detail::prepare(shape, q);
  detail::Answers answers(shape, exclude, std::min(k, shape.count));
  const detail::SearchTask task{shape, tables, ts, query, within, stats};
  switch (detail::choose_strategy(answers, exact)) {
  case detail::Strategy::nearest:
    detail::search_nearest(task, exact, answers);
    break;
  case detail::Strategy::ordered:
    detail::search_ordered(task, answers);
    break;
  case detail::Strategy::rounds:
    detail::search_rounds(task, answers);
    break;
  }
  if (!within) // a window with no shape is never within a distance
    answers.offer_shapeless(tables);
  answers.write(distances, starts);
}

void distance_profile(const IndexShape &shape, const double *ts,
                      const double *q, double *distances) {
  const detail::Query query = detail::prepare(shape, q);
  const std::int64_t n = shape.window;
  constexpr int group = 4;
  const double *x[group];
  const auto at = [&x](int k, std::int64_t i) { return x[k][i]; };
  double means[group], deviations[group], largest[group];
  for (std::int64_t i = 0; i < shape.count; i += group) {
    const int size =
        static_cast<int>(std::min<std::int64_t>(group, shape.count - i));
    for (int k = 0; k < group; ++k)
      x[k] = ts + (i + std::min(k, size - 1)) * shape.stride;
    detail::window_moments<group, true>(at, n, means, deviations, largest);
    for (int k = 0; k < size; ++k) {
      const double scale = largest[k] / deviations[k];
      if (detail::window_kind(deviations[k], largest[k], scale, n) ==
          detail::WindowKind::shapeless) {
        distances[i + k] = std::numeric_limits<double>::quiet_NaN();
        continue;
      }
      bool abandoned = false;
      distances[i + k] = detail::window_distance(
          x[k], n, means[k], deviations[k], query.zq.data(),
          std::numeric_limits<double>::infinity(), abandoned);
    }
  }
}

} // namespace morvel
