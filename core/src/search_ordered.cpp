// The windows in answer order, produced lazily: a queue of leaves and
// windows keyed by the distance their bounds prove them not to be below,
// and of windows keyed by their exact distance. A window's exact distance
// leaves the queue only when nothing left in it can come before it (at an
// equal key, bounds leave first), so the greedy choice with exclusion takes
// the windows as they come: one pass, however many are excluded.
#include "index_windows.hpp"
#include "search_strategies.hpp"
#include "walk.hpp"

#include <functional>
#include <limits>
#include <queue>
#include <vector>

namespace morvel::detail {

void search_ordered(const SearchTask &task, Answers &answers) {
  enum Kind : std::uint8_t { leaf, bounded, exact };
  struct Entry {
    double key;
    Kind kind;
    std::uint32_t id;
    bool operator>(const Entry &other) const {
      if (key != other.key)
        return key > other.key;
      if (kind != other.kind)
        return kind > other.kind;
      return id > other.id;
    }
  };
  const IndexShape &shape = task.shape;
  const IndexTables &tables = task.tables;
  const Query &query = task.query;
  SearchStats &stats = task.stats;
  // A query beyond the bounds has every window computed, in this order.
  const auto below = [&](auto bound) {
    return query.bounded ? query.slack.distance_below(bound()) : 0.0;
  };
  std::vector<Entry> entries;
  const std::int64_t leaves = leaf_count(tables.ranked);
  entries.reserve(static_cast<std::size_t>(leaves + tables.irregular_count));
  for (std::int64_t i = 0; i < leaves; ++i) {
    const std::uint8_t *low = tables.boxes + i * 2 * shape.w;
    entries.push_back(
        {below([&] { return leaf_bound(query, low, low + shape.w); }), leaf,
         static_cast<std::uint32_t>(i)});
  }
  stats.leaf_bounds += leaves;
  for (std::int64_t i = 0; i < tables.irregular_count; ++i)
    entries.push_back({0.0, bounded, tables.irregular[i]});
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue(
      std::greater<Entry>(), std::move(entries));
  while (!queue.empty() && !answers.full()) {
    const Entry entry = queue.top();
    queue.pop();
    if (task.within && entry.key > *task.within)
      break; // all that is left is farther
    if (entry.kind == leaf) {
      ++stats.leaves;
      const std::int64_t first = entry.id * std::int64_t{index_leaf_size};
      const std::int64_t last =
          std::min(tables.ranked, first + index_leaf_size);
      for (std::int64_t r = first; r < last; ++r) {
        if (!answers.free(tables.windows[r]))
          continue; // excluded now, excluded for good
        ++stats.window_bounds;
        const std::uint8_t *word = tables.words + r * shape.w;
        queue.push({below([&] { return word_bound(query, word); }), bounded,
                    tables.windows[r]});
      }
    } else if (entry.kind == bounded) {
      if (!answers.free(entry.id))
        continue;
      const double *x =
          task.ts + static_cast<std::int64_t>(entry.id) * shape.stride;
      double mean, deviation;
      moments_at(&x, 1, static_cast<std::int32_t>(shape.window), &mean,
                 &deviation);
      bool abandoned = false;
      ++stats.distances;
      queue.push(
          {window_distance(x, shape.window, mean, deviation, query.zq.data(),
                           std::numeric_limits<double>::infinity(), abandoned),
           exact, entry.id});
    } else if (!(task.within && !(entry.key <= *task.within))) {
      answers.offer({entry.key, entry.id});
    }
  }
}

} // namespace morvel::detail
