// Answering a query: the leaves around q's own word first, for a best so far;
// then every leaf's bound, and the leaves that bound cannot prune in
// ascending order of it, their windows' bounds, and the exact distances of
// what is left.
//
// The pruning bound. Let A, B be the computed z-normalised query and window
// (index_windows.hpp), D the defined distance and L the distance between q's
// estimated segment means and the regions of the window's symbols. Then
//   D >= (1 - (n + 4)u) ||A - B||                    (n + 2 rounded steps)
//   ||A - B|| >= ||Y_q - Y_x|| - 2.0001u sqrt(n) (M_q + B)(1 + u)
//   ||Y_q - Y_x|| >= sqrt(n / w) (L - sqrt(w) (E + E_q))
// the last by the stretched means' Cauchy-Schwarz bound, each segment's
// mean lying within E of its estimate (and q's within E_q), so within E of
// its symbol's region. A window is pruned only when L exceeds what makes D
// at least the k-th best distance, computed with slack for its own rounding
// and that of L: it is never a true neighbour, nor tied with one.
#include "morvel/index.hpp"

#include "index_query.hpp"
#include "index_windows.hpp"
#include "walk.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <set>
#include <stdexcept>
#include <unordered_map>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

namespace morvel {
namespace {

using detail::Summary;
using detail::unit_roundoff;
using detail::WindowKind;

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::int32_t symbols = fine_symbol_count;
// Leaves on each side of q's own searched first, and alone when inexact.
constexpr std::int64_t near_leaves = 4;

// A found window, ordered by distance then window number.
struct Found {
  double distance;
  std::uint32_t window;
  bool operator<(const Found &other) const {
    return distance < other.distance ||
           (distance == other.distance && window < other.window);
  }
};

} // namespace

namespace detail {

Query prepare(const IndexShape &shape, const double *q) {
  Query query;
  const std::int64_t n = shape.window;
  const std::int64_t w = shape.w;
  query.n = n;
  query.w = w;
  const detail::Feeds feeds = detail::segment_feeds(n, w);
  std::vector<double> segments(static_cast<std::size_t>(w));
  Summary summary;
  detail::summarise<1>(&q, n, w, feeds, &summary, segments.data());
  if (summary.kind == WindowKind::shapeless)
    throw std::invalid_argument(
        "q has no shape: it is flat, or holds NaN or an infinity");
  query.zq.resize(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i)
    query.zq[i] = (q[i] - summary.mean) / summary.deviation;
  query.bounded = summary.kind == WindowKind::regular;
  if (!query.bounded)
    return query;

  const double *cuts = fine_breakpoints();
  query.cells.resize(static_cast<std::size_t>(w * symbols));
  query.own.resize(static_cast<std::size_t>(w));
  for (std::int64_t j = 0; j < w; ++j) {
    const double mean = segments[j];
    const std::uint8_t own = fine_symbol(mean);
    query.own[j] = own;
    for (std::int32_t s = 0; s < symbols; ++s) {
      double gap = 0.0;
      if (s < own)
        gap = mean - cuts[s];
      else if (s > own)
        gap = cuts[s - 1] - mean;
      query.cells[j * symbols + s] = gap * gap;
    }
  }
  const double u = unit_roundoff;
  const double root_n = std::sqrt(static_cast<double>(n));
  const double limit = detail::regular_limit(n);
  const double rounding =
      2.0001 * u * root_n * (summary.scale + limit) * (1.0 + u);
  const double errors = std::sqrt(static_cast<double>(w)) *
                        (detail::segment_error(n, limit) +
                         detail::segment_error(n, summary.scale));
  const double shrink = std::sqrt(static_cast<double>(w) / n);
  // H(best) = (best / c + rounding) * shrink + errors, c = 1 - (n + 4)u.
  query.slope = shrink / (1.0 - static_cast<double>(n + 4) * u);
  query.base = rounding * shrink + errors;
  return query;
}

double prune_above(const Query &query, double best) {
  if (!(best < infinity))
    return infinity;
  const double u = unit_roundoff;
  // Underflow adds at most about sqrt(n) 2^-537 anywhere, far below the
  // error terms in `base` (about 1e-14 at least).
  const double h = (best * query.slope + query.base) * (1.0 + 32.0 * u);
  return h * h * (1.0 + 2.0 * static_cast<double>(query.w + 8) * u);
}

double distance_below(const Query &query, double sum) {
  // prune_above(x) < sum for every x below this, so every such x is
  // exceeded by the distance.
  const double u = unit_roundoff;
  const double h = std::sqrt(sum) /
                   std::sqrt(1.0 + 2.0 * static_cast<double>(query.w + 8) * u) /
                   (1.0 + 32.0 * u);
  const double below = (h - query.base) / query.slope;
  return below > 0.0 ? below * (1.0 - 1e-12) : 0.0;
}

double abandon_above(double best) {
  if (!(best < infinity))
    return infinity;
  const double up = std::nextafter(best, infinity);
  return std::nextafter(up * up, infinity);
}

} // namespace detail

namespace {

using detail::Query;

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

struct Searcher {
  const IndexShape &shape;
  const IndexTables &tables;
  const double *ts;
  const Query &query;
  SearchStats &stats;
  std::int64_t keep; // the heap's size
  // Whether a window may be returned (the exclusion zones so far).
  const std::vector<std::uint32_t> &accepted;
  std::int64_t exclude;
  std::unordered_map<std::uint32_t, double> &known;

  std::vector<Found> heap; // the best `keep`, worst on top
  double prune = infinity;
  double abandon = infinity;
  double within = infinity; // farther windows are not wanted
  bool limited = false;
  std::vector<std::uint32_t> pending;

  // Windows provably farther than `limit` are pruned from the start, as if
  // the heap were already full of windows at that distance.
  void limit(double limit) {
    limited = true;
    within = limit;
    prune = query.bounded ? detail::prune_above(query, limit) : infinity;
    abandon = detail::abandon_above(limit);
  }

  bool eligible(std::uint32_t window) const {
    for (const std::uint32_t other : accepted) {
      const std::int64_t gap =
          (static_cast<std::int64_t>(window) - other) * shape.stride;
      if (gap <= exclude && -gap <= exclude)
        return false;
    }
    return true;
  }

  void offer(Found found) {
    if (limited && !(found.distance <= within))
      return;
    if (static_cast<std::int64_t>(heap.size()) < keep) {
      heap.push_back(found);
      std::push_heap(heap.begin(), heap.end());
    } else if (found < heap.front()) {
      std::pop_heap(heap.begin(), heap.end());
      heap.back() = found;
      std::push_heap(heap.begin(), heap.end());
    } else {
      return;
    }
    if (static_cast<std::int64_t>(heap.size()) == keep) {
      prune = query.bounded ? detail::prune_above(query, heap.front().distance)
                            : infinity;
      abandon = detail::abandon_above(heap.front().distance);
    }
  }

  // The exact distances of the pending windows, their moments four at a
  // time.
  void settle() {
    constexpr int group = 4;
    const std::int64_t n = shape.window;
    std::size_t i = 0;
    while (i < pending.size()) {
      const int size =
          static_cast<int>(std::min<std::size_t>(group, pending.size() - i));
      const double *x[group];
      double means[group], deviations[group];
      for (int k = 0; k < size; ++k)
        x[k] = ts + static_cast<std::int64_t>(pending[i + k]) * shape.stride;
      detail::moments_at(x, size, static_cast<std::int32_t>(n), means,
                         deviations);
      for (int k = 0; k < size; ++k) {
        ++stats.distances;
        bool abandoned = false;
        const double distance =
            detail::window_distance(x[k], n, means[k], deviations[k],
                                    query.zq.data(), abandon, abandoned);
        if (abandoned) {
          ++stats.abandoned;
          continue;
        }
        known.emplace(pending[i + k], distance);
        offer({distance, pending[i + k]});
      }
      i += static_cast<std::size_t>(size);
    }
    pending.clear();
  }

  void consider(std::uint32_t window) {
    if (!accepted.empty() && !eligible(window))
      return;
    const auto at = known.find(window);
    if (at != known.end()) {
      offer({at->second, window});
      return;
    }
    pending.push_back(window);
  }

  // A sum of w non-negative cells is within gamma_{w-1} of the exact sum
  // in any order, which prune_above allows for: four partial sums keep the
  // adder busy.
  double window_bound(std::int64_t r) const {
    const std::uint8_t *word = tables.words + r * shape.w;
    const double *cells = query.cells.data();
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    std::int64_t j = 0;
    for (; j + 4 <= shape.w; j += 4)
      for (std::int64_t k = 0; k < 4; ++k)
        sums[k] += cells[(j + k) * symbols + word[j + k]];
    for (; j < shape.w; ++j)
      sums[0] += cells[j * symbols + word[j]];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
  }

  double leaf_bound(std::int64_t leaf) const {
    const std::uint8_t *low = tables.boxes + leaf * 2 * shape.w;
    const std::uint8_t *high = low + shape.w;
    const double *cells = query.cells.data();
    double sum = 0.0;
    for (std::int64_t j = 0; j < shape.w; ++j) {
      const std::uint8_t nearest =
          std::min(std::max(query.own[j], low[j]), high[j]);
      sum += cells[j * symbols + nearest];
    }
    return sum;
  }

  void prefetch_leaf(std::int64_t leaf) const {
    const std::uint8_t *first = tables.words + leaf * index_leaf_size * shape.w;
    const std::int64_t bytes =
        (std::min(tables.ranked, (leaf + 1) * index_leaf_size) -
         leaf * index_leaf_size) *
        shape.w;
    for (std::int64_t at = 0; at < bytes; at += 64)
      prefetch(first + at);
  }

  void visit_leaf(std::int64_t leaf, bool bound_windows) {
    ++stats.leaves;
    const std::int64_t first = leaf * index_leaf_size;
    const std::int64_t last = std::min(tables.ranked, first + index_leaf_size);
    for (std::int64_t r = first; r < last; ++r) {
      if (bound_windows) {
        ++stats.window_bounds;
        if (window_bound(r) > prune)
          continue;
      }
      consider(tables.windows[r]);
      if (pending.size() >= 16)
        settle();
    }
    settle();
  }

  // The position of q's key among the ranked words.
  std::int64_t own_position() const {
    std::int64_t low = 0, high = tables.ranked;
    const detail::KeyMaker key_of(shape.w);
    const std::uint64_t key = key_of(query.own.data());
    while (low < high) {
      const std::int64_t middle = low + (high - low) / 2;
      if (key_of(tables.words + middle * shape.w) < key)
        low = middle + 1;
      else
        high = middle;
    }
    return low;
  }

  void run(bool exact) {
    for (std::int64_t i = 0; i < tables.irregular_count; ++i)
      consider(tables.irregular[i]);
    settle();
    const std::int64_t leaves = leaf_count(tables.ranked);
    if (!query.bounded) {
      for (std::int64_t leaf = 0; leaf < leaves; ++leaf)
        visit_leaf(leaf, false);
      return;
    }
    std::int64_t near_first = 0, near_last = 0;
    if (leaves > 0) {
      const std::int64_t own =
          std::min(own_position() / index_leaf_size, leaves - 1);
      near_first = std::max<std::int64_t>(0, own - near_leaves);
      near_last = std::min(leaves, own + near_leaves + 1);
      for (std::int64_t leaf = near_first; leaf < near_last; ++leaf)
        visit_leaf(leaf, true);
    }
    if (!exact)
      return;
    std::vector<std::pair<double, std::uint32_t>> order;
    for (std::int64_t leaf = 0; leaf < leaves; ++leaf) {
      if (leaf == near_first)
        leaf = near_last;
      if (leaf >= leaves)
        break;
      ++stats.leaf_bounds;
      const double bound = leaf_bound(leaf);
      if (!(bound > prune))
        order.emplace_back(bound, static_cast<std::uint32_t>(leaf));
    }
    std::sort(order.begin(), order.end());
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (order[i].first > prune)
        break;
      // The next leaf's words are fetched while this one's are bounded.
      if (i + 1 < order.size())
        prefetch_leaf(order[i + 1].second);
      visit_leaf(order[i].second, true);
    }
  }
};

// The windows in ascending order of (distance, window), produced lazily:
// a queue of leaves and windows keyed by the distance their bounds prove
// them not to be below, and of windows keyed by their exact distance. A
// window's exact distance leaves the queue only when nothing left in it can
// come before it (at an equal key, bounds leave first), so the greedy
// choice with exclusion takes the windows as they come: one pass, however
// many are excluded.
void stream_greedily(Searcher &searcher, std::int64_t places,
                     std::vector<Found> &found,
                     std::vector<std::uint32_t> &accepted) {
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
  const IndexShape &shape = searcher.shape;
  const IndexTables &tables = searcher.tables;
  const Query &query = searcher.query;
  SearchStats &stats = searcher.stats;
  std::set<std::int64_t> taken; // accepted starts
  const auto free = [&](std::uint32_t window) {
    const std::int64_t start = static_cast<std::int64_t>(window) * shape.stride;
    const auto after = taken.lower_bound(start - searcher.exclude);
    return after == taken.end() || *after > start + searcher.exclude;
  };
  // A query beyond the bounds has every window computed, in this order.
  const auto bounded_below = [&](auto bound) {
    return query.bounded ? detail::distance_below(query, bound()) : 0.0;
  };
  std::vector<Entry> entries;
  const std::int64_t leaves = leaf_count(tables.ranked);
  entries.reserve(static_cast<std::size_t>(leaves + tables.irregular_count));
  for (std::int64_t i = 0; i < leaves; ++i)
    entries.push_back({bounded_below([&] { return searcher.leaf_bound(i); }),
                       leaf, static_cast<std::uint32_t>(i)});
  stats.leaf_bounds += leaves;
  for (std::int64_t i = 0; i < tables.irregular_count; ++i)
    entries.push_back({0.0, bounded, tables.irregular[i]});
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue(
      std::greater<Entry>(), std::move(entries));
  while (!queue.empty() && static_cast<std::int64_t>(found.size()) < places) {
    const Entry entry = queue.top();
    queue.pop();
    if (searcher.limited && entry.key > searcher.within)
      break; // all that is left is farther
    if (entry.kind == leaf) {
      ++stats.leaves;
      const std::int64_t first = entry.id * std::int64_t{index_leaf_size};
      const std::int64_t last =
          std::min(tables.ranked, first + index_leaf_size);
      for (std::int64_t r = first; r < last; ++r) {
        if (!free(tables.windows[r]))
          continue; // excluded now, excluded for good
        ++stats.window_bounds;
        queue.push({bounded_below([&] { return searcher.window_bound(r); }),
                    bounded, tables.windows[r]});
      }
    } else if (entry.kind == bounded) {
      if (!free(entry.id))
        continue;
      const double *x =
          searcher.ts + static_cast<std::int64_t>(entry.id) * shape.stride;
      double mean, deviation;
      detail::moments_at(&x, 1, static_cast<std::int32_t>(shape.window), &mean,
                         &deviation);
      bool abandoned = false;
      ++stats.distances;
      queue.push({detail::window_distance(x, shape.window, mean, deviation,
                                          query.zq.data(), infinity, abandoned),
                  exact, entry.id});
    } else if (free(entry.id) &&
               !(searcher.limited && !(entry.key <= searcher.within))) {
      found.push_back({entry.key, entry.id});
      accepted.push_back(entry.id);
      taken.insert(static_cast<std::int64_t>(entry.id) * shape.stride);
    }
  }
}

} // namespace

SearchStats &SearchStats::operator+=(const SearchStats &other) {
  leaf_bounds += other.leaf_bounds;
  leaves += other.leaves;
  window_bounds += other.window_bounds;
  distances += other.distances;
  abandoned += other.abandoned;
  return *this;
}

double search_bytes(const IndexShape &shape, const IndexTables &tables,
                    std::int64_t k) {
  // Per answer: its place in the heap and among those found, the window
  // accepted and its start in the exclusion set (a tree node); per leaf
  // and irregular window: its bound in the order and in the queue.
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
  const Query query = detail::prepare(shape, q);
  const std::int64_t places = std::min(k, shape.count);
  // Any two starts are less than the series' length apart, so a wider zone
  // excludes no more, and start +- exclude stays within 64 bits.
  exclude = std::min(exclude, shape.length);
  std::vector<std::uint32_t> accepted;
  std::unordered_map<std::uint32_t, double> known;
  std::vector<Found> found;
  const bool rounds = exclude > 0 && k > 1;
  // Without exclusion, one search keeps the k best. With it, the greedy
  // choice takes the windows as they come in order; where only part of the
  // index is searched, it is k searches, each for the best window outside
  // the zones of those chosen before, reusing the distances computed.
  if (rounds && exact) {
    Searcher searcher{shape, tables,   ts,      query, stats,
                      1,     accepted, exclude, known};
    if (within)
      searcher.limit(*within);
    stream_greedily(searcher, places, found, accepted);
  }
  const std::int64_t searches = rounds && exact ? 0 : rounds ? places : 1;
  for (std::int64_t round = 0; round < searches; ++round) {
    Searcher searcher{shape,    tables,  ts,
                      query,    stats,   rounds ? 1 : places,
                      accepted, exclude, known};
    if (within)
      searcher.limit(*within);
    if (rounds) {
      for (const auto &[window, distance] : known)
        if (searcher.eligible(window))
          searcher.offer({distance, window});
    }
    searcher.run(exact);
    std::sort_heap(searcher.heap.begin(), searcher.heap.end());
    if (searcher.heap.empty())
      break;
    for (const Found &one : searcher.heap) {
      found.push_back(one);
      accepted.push_back(one.window);
    }
  }
  // Windows with no shape come last, in window order, and never within a
  // distance.
  for (std::int64_t i = 0; !within && i < tables.shapeless_count &&
                           static_cast<std::int64_t>(found.size()) < places;
       ++i) {
    const std::uint32_t window = tables.shapeless[i];
    bool free = true;
    if (exclude > 0)
      for (const std::uint32_t other : accepted) {
        const std::int64_t gap =
            (static_cast<std::int64_t>(window) - other) * shape.stride;
        free = free && !(gap <= exclude && -gap <= exclude);
      }
    if (!free)
      continue;
    found.push_back({std::numeric_limits<double>::quiet_NaN(), window});
    accepted.push_back(window);
  }
  for (std::int64_t i = 0; i < places; ++i) {
    const bool filled = i < static_cast<std::int64_t>(found.size());
    distances[i] =
        filled ? found[i].distance : std::numeric_limits<double>::quiet_NaN();
    starts[i] =
        filled ? static_cast<std::int64_t>(found[i].window) * shape.stride : -1;
  }
}

void distance_profile(const IndexShape &shape, const double *ts,
                      const double *q, double *distances) {
  const Query query = detail::prepare(shape, q);
  const std::int64_t n = shape.window;
  constexpr int group = 4;
  std::int64_t i = 0;
  while (i < shape.count) {
    const int size =
        static_cast<int>(std::min<std::int64_t>(group, shape.count - i));
    const double *x[group];
    double means[group], deviations[group];
    for (int k = 0; k < size; ++k)
      x[k] = ts + (i + k) * shape.stride;
    detail::moments_at(x, size, static_cast<std::int32_t>(n), means,
                       deviations);
    for (int k = 0; k < size; ++k) {
      bool abandoned = false;
      double distance =
          detail::window_distance(x[k], n, means[k], deviations[k],
                                  query.zq.data(), infinity, abandoned);
      if (!std::isfinite(distance))
        for (std::int64_t v = 0; v < n; ++v)
          if (!std::isfinite((x[k][v] - means[k]) / deviations[k]))
            distance = std::numeric_limits<double>::quiet_NaN();
      distances[i + k] = distance;
    }
    i += size;
  }
}

} // namespace morvel
