// The heap search: the leaves around q's own word first, for a best so far;
// then, when exact, every leaf's bound, and the leaves that bound cannot
// prune in ascending order of it, their windows' bounds, and the exact
// distances of what is left, each abandoned as soon as it exceeds the worst
// of the best kept. Which windows it may keep is its Admit policy's to say:
// every one, those outside the zones of answers taken, or those away from a
// window of the series itself.
#pragma once

#include "index_windows.hpp"
#include "search_strategies.hpp"
#include "walk.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

namespace morvel::detail {

// Leaves on each side of q's own searched first, and alone when inexact.
inline constexpr std::int64_t near_leaves = 4;
inline constexpr double search_infinity =
    std::numeric_limits<double>::infinity();

// A hint to load a cache line soon; nothing where the compiler has none.
inline void prefetch(const void *address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char *>(address), _MM_HINT_T0);
#else
  (void)address;
#endif
}

// The best `keep` windows that `admit` lets through, worst on top.
template <typename Admit> class HeapSearch {
public:
  HeapSearch(const SearchTask &task, std::int64_t keep, Admit &admit)
      : task_(task), shape_(task.shape), tables_(task.tables),
        query_(task.query), keep_(keep), admit_(admit) {
    if (task.within) {
      // Windows provably farther are pruned from the start, as if the heap
      // were already full of windows at that distance.
      prune_ = query_.bounded ? query_.slack.prune_above(*task.within)
                              : search_infinity;
      abandon_ = abandon_above(*task.within);
    }
  }

  void offer(Found found) {
    if (task_.within && !(found.distance <= *task_.within))
      return;
    if (static_cast<std::int64_t>(heap_.size()) < keep_) {
      heap_.push_back(found);
      std::push_heap(heap_.begin(), heap_.end());
    } else if (found < heap_.front()) {
      std::pop_heap(heap_.begin(), heap_.end());
      heap_.back() = found;
      std::push_heap(heap_.begin(), heap_.end());
    } else {
      return;
    }
    if (static_cast<std::int64_t>(heap_.size()) == keep_) {
      const double worst = heap_.front().distance;
      prune_ =
          query_.bounded ? query_.slack.prune_above(worst) : search_infinity;
      abandon_ = abandon_above(worst);
    }
  }

  // Offers one window at its exact distance, before a run: a neighbour
  // guessed well makes the pruning start tight.
  void offer_window(std::uint32_t window) {
    consider(window);
    settle();
  }

  // Makes a run stop as soon as the worst window kept is nearer than
  // `distance`: all a caller asking "is anything nearer?" needs to know.
  void stop_below(double distance) { stop_below_ = distance; }
  bool stopped() const {
    return static_cast<std::int64_t>(heap_.size()) == keep_ &&
           heap_.front().distance < stop_below_;
  }

  void run(bool exact) {
    for (std::int64_t i = 0; i < tables_.irregular_count; ++i)
      consider(tables_.irregular[i]);
    settle();
    if (stopped())
      return;
    const std::int64_t leaves = leaf_count(tables_.ranked);
    if (!query_.bounded) {
      for (std::int64_t leaf = 0; leaf < leaves && !stopped(); ++leaf)
        visit_leaf(leaf, false);
      return;
    }
    std::int64_t near_first = 0, near_last = 0;
    if (leaves > 0) {
      const std::int64_t own =
          std::min(own_position() / index_leaf_size, leaves - 1);
      near_first = std::max<std::int64_t>(0, own - near_leaves);
      near_last = std::min(leaves, own + near_leaves + 1);
      for (std::int64_t leaf = near_first; leaf < near_last && !stopped();
           ++leaf)
        visit_leaf(leaf, true);
    }
    if (!exact || stopped())
      return;
    std::vector<std::pair<double, std::uint32_t>> order;
    for (std::int64_t leaf = 0; leaf < leaves; ++leaf) {
      if (leaf == near_first)
        leaf = near_last;
      if (leaf >= leaves)
        break;
      ++task_.stats.leaf_bounds;
      const std::uint8_t *low = tables_.boxes + leaf * 2 * shape_.w;
      const double bound = leaf_bound(query_, low, low + shape_.w);
      if (!(bound > prune_))
        order.emplace_back(bound, static_cast<std::uint32_t>(leaf));
    }
    // The leaves in ascending order of bound, then number, taken from a
    // heap: most searches stop long before the last.
    const auto later = [](const std::pair<double, std::uint32_t> &a,
                          const std::pair<double, std::uint32_t> &b) {
      return b < a;
    };
    std::make_heap(order.begin(), order.end(), later);
    for (auto end = order.end(); end != order.begin();) {
      std::pop_heap(order.begin(), end, later);
      --end;
      if (end->first > prune_ || stopped())
        break;
      // The next leaf's words are fetched while this one's are bounded.
      if (end != order.begin())
        prefetch_leaf(order.front().second);
      visit_leaf(end->second, true);
    }
  }

  // The windows kept, in answer order.
  std::vector<Found> sorted() {
    std::sort_heap(heap_.begin(), heap_.end());
    return std::move(heap_);
  }

private:
  // The exact distances of the pending windows, their moments four at a
  // time.
  void settle() {
    constexpr int group = 4;
    const std::int64_t n = shape_.window;
    std::size_t i = 0;
    while (i < pending_.size()) {
      const int size =
          static_cast<int>(std::min<std::size_t>(group, pending_.size() - i));
      const double *x[group];
      double means[group], deviations[group];
      for (int k = 0; k < size; ++k)
        x[k] = task_.ts +
               static_cast<std::int64_t>(pending_[i + k]) * shape_.stride;
      if (task_.means != nullptr) {
        for (int k = 0; k < size; ++k) {
          means[k] = task_.means[pending_[i + k]];
          deviations[k] = task_.deviations[pending_[i + k]];
        }
      } else {
        moments_at(x, size, static_cast<std::int32_t>(n), means, deviations);
      }
      for (int k = 0; k < size; ++k) {
        ++task_.stats.distances;
        bool abandoned = false;
        const double distance =
            window_distance(x[k], n, means[k], deviations[k], query_.zq.data(),
                            abandon_, abandoned);
        if (abandoned) {
          ++task_.stats.abandoned;
          continue;
        }
        admit_.remember(pending_[i + k], distance);
        offer({distance, pending_[i + k]});
      }
      i += static_cast<std::size_t>(size);
    }
    pending_.clear();
  }

  void consider(std::uint32_t window) {
    if (!admit_.admits(window))
      return;
    if (const double *distance = admit_.known(window)) {
      offer({*distance, window});
      return;
    }
    pending_.push_back(window);
  }

  void prefetch_leaf(std::int64_t leaf) const {
    const std::uint8_t *first =
        tables_.words + leaf * index_leaf_size * shape_.w;
    const std::int64_t bytes =
        (std::min(tables_.ranked, (leaf + 1) * index_leaf_size) -
         leaf * index_leaf_size) *
        shape_.w;
    for (std::int64_t at = 0; at < bytes; at += 64)
      prefetch(first + at);
  }

  void visit_leaf(std::int64_t leaf, bool bound_windows) {
    ++task_.stats.leaves;
    const std::int64_t first = leaf * index_leaf_size;
    const std::int64_t last = std::min(tables_.ranked, first + index_leaf_size);
    for (std::int64_t r = first; r < last; ++r) {
      if (bound_windows && task_.blocks != nullptr &&
          r % word_block_size == 0) {
        const std::uint8_t *box =
            task_.blocks + r / word_block_size * 2 * shape_.w;
        if (leaf_bound(query_, box, box + shape_.w) > prune_) {
          r += word_block_size - 1; // the block's words are no nearer
          continue;
        }
      }
      if (bound_windows) {
        ++task_.stats.window_bounds;
        if (word_bound(query_, tables_.words + r * shape_.w) > prune_)
          continue;
      }
      consider(tables_.windows[r]);
      if (pending_.size() >= 16) {
        settle();
        if (stopped())
          return;
      }
    }
    settle();
  }

  // The position of q's key among the ranked words.
  std::int64_t own_position() const {
    std::int64_t low = 0, high = tables_.ranked;
    const KeyMaker key_of(shape_.w);
    const std::uint64_t key = key_of(query_.own.data());
    while (low < high) {
      const std::int64_t middle = low + (high - low) / 2;
      if (key_of(tables_.words + middle * shape_.w) < key)
        low = middle + 1;
      else
        high = middle;
    }
    return low;
  }

  const SearchTask &task_;
  const IndexShape &shape_;
  const IndexTables &tables_;
  const Query &query_;
  std::int64_t keep_;
  Admit &admit_;
  std::vector<Found> heap_;
  double stop_below_ = -search_infinity;
  double prune_ = search_infinity;
  double abandon_ = search_infinity;
  std::vector<std::uint32_t> pending_;
};

} // namespace morvel::detail
