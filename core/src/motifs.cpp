// Motifs, pair by pair, each the nearest pair outside the zones of those
// chosen before: over blocks of consecutive windows (motif_blocks.hpp)
// unless a window is beyond the bounds, else over the index's leaves. Both
// start from each window's distance to a window of a similar word
// (join_bounds.hpp) and shrink D, the nearest pair so far, as pairs are
// found. The leaves' search: a leaf A of windows, taken as queries, is
// held against every leaf B at once: the squared gaps between the span of
// A's estimated segment means and the regions of B's symbols are, term by
// term and so summed in the same order, at most those of any one window of
// A (rounding is monotone), and the slack of A's largest scale is at least
// each window's, so a leaf pair bounded above the threshold of D holds no
// pair within D. The pairs left are computed, each abandoned above D.
// Every pair at D or nearer is thus computed, and the nearest, ties to the
// lower pair, is exact.
#include "join_bounds.hpp"
#include "motif_blocks.hpp"
#include "window_moments.hpp"

#include <algorithm>
#include <limits>
#include <mutex>

namespace morvel {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::int64_t block_size = detail::word_block_size;

using detail::Pair;

// The bound of symbols least[j] ... most[j] (a leaf's box, a block's, or
// a word: least == most) against segment means spanning low[j] ... high[j]
// (one window's: low == high), each segment's squared gap added in segment
// order. For one window these are the cells of a query's leaf and word
// bounds, the same values; for a span, at most those of any window in it.
double box_bound(std::int64_t w, const double *low, const double *high,
                 const std::uint8_t *least, const std::uint8_t *most) {
  const double *cuts = fine_breakpoints();
  double sum = 0.0;
  for (std::int64_t j = 0; j < w; ++j) {
    const double lower = least[j] == 0 ? -infinity : cuts[least[j] - 1];
    const double upper = cuts[most[j]];
    double gap = 0.0;
    if (high[j] < lower)
      gap = lower - high[j];
    else if (low[j] > upper)
      gap = low[j] - upper;
    sum += gap * gap;
  }
  return sum;
}

// The span of the segment means of `count` windows (rows of w), and the
// slack of their largest scale at distance `limit`: a group of queries
// bounded at once.
struct Span {
  std::vector<double> low, high;
  double prune;
};
void span_of(std::int64_t n, std::int64_t w, const double *segments,
             const double *scales, std::int64_t count, double limit,
             Span &span) {
  span.low.assign(segments, segments + w);
  span.high = span.low;
  double scale = 0.0;
  for (std::int64_t r = 0; r < count; ++r) {
    scale = std::max(scale, scales[r]);
    for (std::int64_t j = 0; j < w; ++j) {
      span.low[j] = std::min(span.low[j], segments[r * w + j]);
      span.high[j] = std::max(span.high[j], segments[r * w + j]);
    }
  }
  span.prune = detail::slack_for(n, w, scale).prune_above(limit);
}

} // namespace

double motifs_bytes(const IndexShape &shape, const IndexTables &tables,
                    std::int64_t k, std::int32_t threads) {
  // The search over leaves, per window: its moments, its bound and hint,
  // its block's box; over blocks: the blocks and a byte a window. Per
  // thread a query and a leaf of queries' means, and the leaves a query
  // leaf keeps.
  const double leaves = static_cast<double>(leaf_count(tables.ranked));
  const double count = static_cast<double>(shape.count);
  const double w = static_cast<double>(shape.w);
  return std::max(count * (28.0 + 2.0 * w / block_size),
                  count + detail::MotifBlocks::bytes(shape.count, shape.w)) +
         threads * (leaves * 16.0 + 8.0 * static_cast<double>(shape.window) +
                    8.0 * index_leaf_size * (w + 1.0)) +
         static_cast<double>(std::min(k, shape.count)) * 64.0;
}

namespace {

// The pairs chosen so far, written as they are chosen, and the zones of
// their starts.
class Chosen {
public:
  Chosen(const IndexShape &shape, std::int64_t exclude, std::int64_t places,
         double *distances, std::int64_t *starts)
      : stride_(shape.stride), places_(places), zones_(exclude),
        distances_(distances), starts_(starts) {}
  bool free(std::int64_t window) const { return zones_.free(window * stride_); }
  void take(std::int64_t place, const Pair &pair) {
    distances_[place] = pair.distance;
    starts_[2 * place] = pair.a * stride_;
    starts_[2 * place + 1] = pair.b * stride_;
    zones_.take(pair.a * stride_);
    zones_.take(pair.b * stride_);
  }
  // Places from `place` on that none fills.
  void none_from(std::int64_t place) {
    for (std::int64_t i = place; i < places_; ++i) {
      distances_[i] = std::numeric_limits<double>::quiet_NaN();
      starts_[2 * i] = starts_[2 * i + 1] = -1;
    }
  }

private:
  std::int64_t stride_;
  std::int64_t places_;
  detail::Zones zones_;
  double *distances_;
  std::int64_t *starts_;
};

} // namespace

namespace detail {

bool block_motifs(const IndexShape &shape, const IndexTables &tables,
                  const double *ts, std::int64_t k, std::int64_t exclude,
                  std::int32_t threads, const JoinProgress &progress,
                  double *distances, std::int64_t *starts, SearchStats &stats) {
  const MotifBlocks blocks(shape, ts, threads);
  if (!blocks.ready())
    return false;
  const std::int64_t places = std::min(k, shape.count);
  Chosen chosen(shape, exclude, places, distances, starts);
  std::vector<std::uint8_t> usable;
  try {
    usable.resize(static_cast<std::size_t>(shape.count));
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  for (std::int64_t place = 0; place < places; ++place) {
    for (std::int64_t i = 0; i < shape.count; ++i)
      usable[static_cast<std::size_t>(i)] = blocks.shaped(i) && chosen.free(i);
    Pair best = blocks.start(tables, usable, exclude);
    best = blocks.nearest_pair(usable, exclude, best, threads, progress, stats);
    if (best.a < 0) {
      chosen.none_from(place);
      return true;
    }
    chosen.take(place, best);
  }
  return true;
}

void leaf_motifs(const IndexShape &shape, const IndexTables &tables,
                 const double *ts, std::int64_t k, std::int64_t exclude,
                 std::int32_t threads, const JoinProgress &progress,
                 double *distances, std::int64_t *starts, SearchStats &stats) {
  const std::int64_t n = shape.window;
  const std::int64_t w = shape.w;
  const std::int64_t places = std::min(k, shape.count);
  const std::int64_t leaves = leaf_count(tables.ranked);
  Chosen chosen(shape, exclude, places, distances, starts);
  std::vector<double> means, deviations;
  detail::JoinBounds bounds;
  try {
    means.resize(static_cast<std::size_t>(shape.count));
    deviations.resize(static_cast<std::size_t>(shape.count));
    bounds = detail::join_bounds(shape, tables, ts, exclude, threads, progress);
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  detail::in_steps(shape.count, 4096, threads, progress,
                   [&](std::int64_t first, std::int64_t last) {
                     detail::moments(ts, shape.stride, first, last - first,
                                     static_cast<std::int32_t>(n),
                                     means.data() + first,
                                     deviations.data() + first);
                     return true;
                   });
  const detail::Feeds feeds = detail::segment_feeds(n, w);
  const std::vector<std::uint8_t> blocks = detail::word_blocks(shape, tables);
  const auto joinable = [&](std::int64_t a, std::int64_t b) {
    return detail::apart(a * shape.stride, b * shape.stride, exclude) &&
           chosen.free(a) && chosen.free(b);
  };
  const auto shaped = [&](std::int64_t window) {
    return !detail::listed(tables.shapeless, tables.shapeless_count, window);
  };
  for (std::int64_t place = 0; place < places; ++place) {
    // For a start, the pair of a window and its hint whose bound is least,
    // at its distance.
    Pair best;
    for (std::int64_t x = 0; x < shape.count; ++x) {
      const std::uint32_t hint = bounds.hints[static_cast<std::size_t>(x)];
      if (hint == detail::JoinBounds::none || !joinable(x, hint))
        continue;
      const Pair pair{bounds.upper[static_cast<std::size_t>(x)],
                      std::min<std::int64_t>(x, hint),
                      std::max<std::int64_t>(x, hint)};
      best = std::min(best, pair);
    }
    if (best.a >= 0) {
      const double *values = ts + best.a * shape.stride;
      const double mean = means[best.a], deviation = deviations[best.a];
      bool abandoned = false;
      best.distance = detail::distance_to(
          [=](std::int64_t i) { return (values[i] - mean) / deviation; },
          ts + best.b * shape.stride, n, means[best.b], deviations[best.b],
          infinity, abandoned);
    }
    std::mutex mutex;
    // Queries: the leaves, then the irregular windows one by one.
    const std::int64_t items = leaves + tables.irregular_count;
    detail::in_steps(
        items, 4, threads, progress,
        [&](std::int64_t first, std::int64_t last) {
          SearchStats mine;
          std::vector<double> zx(static_cast<std::size_t>(n));
          std::vector<double> leaf_segments(
              static_cast<std::size_t>(index_leaf_size * w));
          std::vector<double> leaf_scales(index_leaf_size);
          std::vector<std::int64_t> block_kept;
          Span span;
          std::vector<std::int64_t> kept; // the leaves a query leaf keeps
          double limit = infinity;        // the nearest pair so far
          const auto join = [&](std::int64_t x, const auto &each_other) {
            const double *values = ts + x * shape.stride;
            for (std::int64_t i = 0; i < n; ++i)
              zx[i] = (values[i] - means[x]) / deviations[x];
            {
              std::lock_guard<std::mutex> lock(mutex);
              limit = best.distance;
            }
            each_other([&](std::int64_t y) {
              if (y <= x || !joinable(x, y))
                return;
              ++mine.distances;
              bool abandoned = false;
              const double distance = detail::window_distance(
                  ts + y * shape.stride, n, means[y], deviations[y], zx.data(),
                  detail::abandon_above(limit), abandoned);
              if (abandoned) {
                ++mine.abandoned;
                return;
              }
              if (distance > limit)
                return;
              std::lock_guard<std::mutex> lock(mutex);
              best = std::min(best, Pair{distance, x, y});
              limit = best.distance;
            });
          };
          const auto irregular = [&](const auto &visit) {
            for (std::int64_t i = 0; i < tables.irregular_count; ++i)
              visit(std::int64_t{tables.irregular[i]});
          };
          for (std::int64_t item = first; item < last; ++item) {
            if (item >= leaves) { // an irregular window against every one
              if (!chosen.free(std::int64_t{tables.irregular[item - leaves]}))
                continue;
              join(std::int64_t{tables.irregular[item - leaves]},
                   [&](const auto &visit) {
                     for (std::int64_t y = 0; y < shape.count; ++y)
                       if (shaped(y))
                         visit(y);
                   });
              continue;
            }
            {
              std::lock_guard<std::mutex> lock(mutex);
              limit = best.distance;
            }
            const std::int64_t begin = item * index_leaf_size;
            const std::int64_t end =
                std::min(tables.ranked, begin + index_leaf_size);
            for (std::int64_t r = begin; r < end; ++r) {
              const double *values =
                  ts + std::int64_t{tables.windows[r]} * shape.stride;
              detail::Summary summary;
              detail::summarise<1>(&values, n, w, feeds, &summary,
                                   &leaf_segments[(r - begin) * w]);
              leaf_scales[r - begin] = summary.scale;
            }
            span_of(n, w, leaf_segments.data(), leaf_scales.data(), end - begin,
                    limit, span);
            kept.clear();
            for (std::int64_t leaf = 0; leaf < leaves; ++leaf) {
              ++mine.leaf_bounds;
              const std::uint8_t *box = tables.boxes + leaf * 2 * w;
              if (!(box_bound(w, span.low.data(), span.high.data(), box,
                              box + w) > span.prune))
                kept.push_back(leaf);
            }
            mine.leaves += static_cast<std::int64_t>(kept.size());
            // Blocks of a few query windows, held against the leaves their
            // leaf kept: their spans are narrower.
            for (std::int64_t block = begin; block < end; block += block_size) {
              const std::int64_t block_end = std::min(end, block + block_size);
              span_of(n, w, &leaf_segments[(block - begin) * w],
                      &leaf_scales[block - begin], block_end - block, limit,
                      span);
              block_kept.clear();
              for (const std::int64_t leaf : kept) {
                const std::uint8_t *box = tables.boxes + leaf * 2 * w;
                if (!(box_bound(w, span.low.data(), span.high.data(), box,
                                box + w) > span.prune))
                  block_kept.push_back(leaf);
              }
              for (std::int64_t r = block; r < block_end; ++r) {
                const std::int64_t x = tables.windows[r];
                if (!chosen.free(x))
                  continue;
                // The window's own bound against each leaf kept, and then
                // against each word: a query's leaf and word bounds, their
                // cells computed as they are needed.
                const double *own = &leaf_segments[(r - begin) * w];
                const detail::Slack slack =
                    detail::slack_for(n, w, leaf_scales[r - begin]);
                join(x, [&](const auto &visit) {
                  for (const std::int64_t leaf : block_kept) {
                    const std::uint8_t *least = tables.boxes + leaf * 2 * w;
                    if (box_bound(w, own, own, least, least + w) >
                        slack.prune_above(limit))
                      continue;
                    const std::int64_t stop =
                        std::min(tables.ranked, (leaf + 1) * index_leaf_size);
                    for (std::int64_t words = leaf * index_leaf_size;
                         words < stop; words += block_size) {
                      const std::uint8_t *box =
                          blocks.data() + words / block_size * 2 * w;
                      if (box_bound(w, own, own, box, box + w) >
                          slack.prune_above(limit))
                        continue;
                      for (std::int64_t s = words;
                           s < std::min(stop, words + block_size); ++s) {
                        if (tables.windows[s] <= x)
                          continue; // the pair is the lower window's to join
                        const std::uint8_t *word = tables.words + s * w;
                        ++mine.window_bounds;
                        if (box_bound(w, own, own, word, word) >
                            slack.prune_above(limit))
                          continue;
                        visit(std::int64_t{tables.windows[s]});
                      }
                    }
                  }
                  irregular(visit);
                });
              }
            }
          }
          std::lock_guard<std::mutex> lock(mutex);
          stats += mine;
          return true;
        });
    if (best.a < 0) {
      chosen.none_from(place);
      return;
    }
    chosen.take(place, best);
  }
}

} // namespace detail

void motifs(const IndexShape &shape, const IndexTables &tables,
            const double *ts, std::int64_t k, std::int64_t exclude,
            std::int32_t threads, const JoinProgress &progress,
            double *distances, std::int64_t *starts, SearchStats &stats) {
  exclude = std::min(exclude, shape.length);
  if (!detail::block_motifs(shape, tables, ts, k, exclude, threads, progress,
                            distances, starts, stats))
    detail::leaf_motifs(shape, tables, ts, k, exclude, threads, progress,
                        distances, starts, stats);
}

} // namespace morvel
