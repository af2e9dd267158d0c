// What the self-join answers share: the work shared among threads in steps,
// which windows are another's, and a window's nearest other window.
#pragma once

#include "morvel/morvel.hpp"
#include "morvel/self_join.hpp"
#include "search_heap.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace morvel::detail {

// Runs work(first, last) over [0, count) in steps of `step` on `threads`
// threads, this one included, calling progress(done, count) here after
// each of this thread's steps. An exception from a step or from progress
// stops every thread after its step and is thrown here; so is a
// std::bad_alloc, as allocation_error. work returning false stops them too
// (nothing left worth doing).
template <typename Work>
void in_steps(std::int64_t count, std::int64_t step, std::int32_t threads,
              const JoinProgress &progress, const Work &work) {
  std::atomic<std::int64_t> next{0}, done{0};
  std::atomic<bool> stop{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  const auto fail = [&] {
    std::lock_guard<std::mutex> lock(error_mutex);
    if (!error)
      error = std::current_exception();
    stop = true;
  };
  const auto steps = [&](bool reporting) {
    while (!stop) {
      const std::int64_t first = next.fetch_add(step);
      if (first >= count)
        break;
      const std::int64_t last = std::min(count, first + step);
      try {
        if (!work(first, last))
          stop = true;
      } catch (...) {
        fail();
        break;
      }
      done += last - first;
      if (reporting && progress) {
        try {
          progress(done, count);
        } catch (...) {
          fail();
        }
      }
    }
  };
  std::vector<std::thread> helpers;
  for (std::int32_t t = 1; t < threads && t * step < count; ++t) {
    try {
      helpers.emplace_back(steps, false);
    } catch (const std::system_error &) {
      break; // no more threads to be had: fewer do it
    }
  }
  steps(true);
  for (std::thread &helper : helpers)
    helper.join();
  if (error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::bad_alloc &) {
      throw allocation_error();
    }
  }
}

// Boxes of blocks of word_block_size ranked words, finer than the
// leaves': the least and greatest symbol of each segment, as a leaf's box.
inline std::vector<std::uint8_t> word_blocks(const IndexShape &shape,
                                             const IndexTables &tables) {
  const std::int64_t w = shape.w;
  std::vector<std::uint8_t> blocks;
  try {
    blocks.resize(static_cast<std::size_t>(
        (tables.ranked + word_block_size - 1) / word_block_size * 2 * w));
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  for (std::int64_t r = 0; r < tables.ranked; ++r) {
    std::uint8_t *least = blocks.data() + r / word_block_size * 2 * w;
    const std::uint8_t *word = tables.words + r * w;
    const bool first = r % word_block_size == 0;
    for (std::int64_t j = 0; j < w; ++j) {
      least[j] = first ? word[j] : std::min(least[j], word[j]);
      least[w + j] = first ? word[j] : std::max(least[w + j], word[j]);
    }
  }
  return blocks;
}

// Whether a window is in an ascending list of windows. O(log count).
inline bool listed(const std::uint32_t *list, std::int64_t count,
                   std::int64_t window) {
  return std::binary_search(list, list + count,
                            static_cast<std::uint32_t>(window));
}

// The windows a window may be joined with: a start more than `exclude`
// from its own.
struct AwayFrom {
  std::int64_t start;
  std::int64_t exclude;
  std::int64_t stride;
  bool admits(std::uint32_t window) const {
    return apart(static_cast<std::int64_t>(window) * stride, start, exclude);
  }
  const double *known(std::uint32_t) const { return nullptr; }
  void remember(std::uint32_t, double) {}
};

// Window `window`'s nearest other window among those `away` admits (its
// distance, its number; +inf and -1 for none), the words bounded a block
// (word_blocks) at a time, starting from `hint` when that is one (a window
// number, or -1), stopped early (`stopped`) once one nearer than
// `stop_below` is found; `means` and `deviations`, when given, hold every
// window's moments. Precondition: the window has a shape.
struct Nearest {
  double distance;
  std::int64_t window;
  bool stopped;
};
inline Nearest nearest_other(const IndexShape &shape, const IndexTables &tables,
                             const double *ts, const std::uint8_t *blocks,
                             std::int64_t window, const AwayFrom &away,
                             std::int64_t hint, double stop_below,
                             SearchStats &stats, const double *means = nullptr,
                             const double *deviations = nullptr) {
  const Query query = prepare(shape, ts + window * shape.stride);
  const SearchTask task{shape, tables, ts,    query,     std::nullopt,
                        stats, blocks, means, deviations};
  AwayFrom admit = away;
  HeapSearch<AwayFrom> search(task, 1, admit);
  search.stop_below(stop_below);
  if (hint >= 0 && hint < shape.count &&
      admit.admits(static_cast<std::uint32_t>(hint)) &&
      !listed(tables.shapeless, tables.shapeless_count, hint))
    search.offer_window(static_cast<std::uint32_t>(hint));
  if (!search.stopped())
    search.run(true);
  const bool stopped = search.stopped();
  const std::vector<Found> best = search.sorted();
  if (best.empty())
    return {std::numeric_limits<double>::infinity(), -1, false};
  return {best.front().distance, best.front().window, stopped};
}

} // namespace morvel::detail
