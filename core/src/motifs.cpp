// Motifs without the whole profile: the nearest pair so far, D, shrinks as
// pairs are found, starting from each window's distance to a window of a
// similar word (join_bounds.hpp). A leaf A of windows, taken as queries,
// is held against every leaf B at once: the squared gaps between the span
// of A's estimated segment means and the regions of B's symbols are, term
// by term and so summed in the same order, at most those of any one window
// of A (rounding is monotone), and the slack of A's largest scale is at
// least each window's, so a leaf pair bounded above the threshold of D
// holds no pair within D. The pairs left are computed, each abandoned
// above D. Every pair at D or nearer is thus computed, and the nearest,
// ties to the lower pair, is exact.
#include "join_bounds.hpp"
#include "window_moments.hpp"

#include <algorithm>
#include <limits>
#include <mutex>

namespace morvel {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::int64_t block_size = detail::word_block_size;

// A pair of windows a < b at their distance, in the order of answers.
struct Pair {
  double distance = infinity;
  std::int64_t a = -1;
  std::int64_t b = -1;
  bool operator<(const Pair &other) const {
    return distance < other.distance ||
           (distance == other.distance &&
            (a < other.a || (a == other.a && b < other.b)));
  }
};

// Per leaf of ranked windows, taken as queries: the span of each segment's
// estimated mean over its windows, and their largest scale.
struct LeafSpans {
  std::vector<double> low, high; // leaves x w
  std::vector<double> scale;     // per leaf
};

LeafSpans leaf_spans(const IndexShape &shape, const IndexTables &tables,
                     const double *ts, std::int32_t threads,
                     const JoinProgress &progress) {
  const std::int64_t w = shape.w;
  const std::int64_t leaves = leaf_count(tables.ranked);
  LeafSpans spans;
  spans.low.assign(static_cast<std::size_t>(leaves * w), infinity);
  spans.high.assign(static_cast<std::size_t>(leaves * w), -infinity);
  spans.scale.assign(static_cast<std::size_t>(leaves), 0.0);
  const detail::Feeds feeds = detail::segment_feeds(shape.window, w);
  detail::in_steps(
      leaves, 16, threads, progress,
      [&](std::int64_t first, std::int64_t last) {
        std::vector<double> segments(static_cast<std::size_t>(w));
        for (std::int64_t leaf = first; leaf < last; ++leaf) {
          const std::int64_t end =
              std::min(tables.ranked, (leaf + 1) * index_leaf_size);
          double *low = &spans.low[leaf * w];
          double *high = &spans.high[leaf * w];
          for (std::int64_t r = leaf * index_leaf_size; r < end; ++r) {
            const double *x =
                ts + std::int64_t{tables.windows[r]} * shape.stride;
            detail::Summary summary;
            detail::summarise<1>(&x, shape.window, w, feeds, &summary,
                                 segments.data());
            spans.scale[leaf] = std::max(spans.scale[leaf], summary.scale);
            for (std::int64_t j = 0; j < w; ++j) {
              low[j] = std::min(low[j], segments[j]);
              high[j] = std::max(high[j], segments[j]);
            }
          }
        }
        return true;
      });
  return spans;
}

// The bound of leaf `leaf`'s regions against a span of means, summed as
// leaf_bound sums a query's cells.
double span_bound(const IndexShape &shape, const IndexTables &tables,
                  std::int64_t leaf, const double *low, const double *high) {
  const double *cuts = fine_breakpoints();
  const std::uint8_t *least = tables.boxes + leaf * 2 * shape.w;
  const std::uint8_t *most = least + shape.w;
  double sum = 0.0;
  for (std::int64_t j = 0; j < shape.w; ++j) {
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

// A window's bound against symbols least[j] ... most[j] (a leaf's box, or
// a word: least == most): each segment's squared gap to the region of the
// symbol in that range nearest its mean, added in segment order. These are
// the cells of a query's leaf bound and word bound, the same values.
double bound_of(std::int64_t w, const double *means, const std::uint8_t *least,
                const std::uint8_t *most) {
  const double *cuts = fine_breakpoints();
  double sum = 0.0;
  for (std::int64_t j = 0; j < w; ++j) {
    const double lower = least[j] == 0 ? -infinity : cuts[least[j] - 1];
    sum += squared_gap(means[j], {lower, cuts[most[j]]});
  }
  return sum;
}

} // namespace

double motifs_bytes(const IndexShape &shape, const IndexTables &tables,
                    std::int64_t k, std::int32_t threads) {
  // Per window: its moments, its bound and hint; per leaf: its spans and
  // its place among the leaves a query leaf keeps; per thread a query.
  const double leaves = static_cast<double>(leaf_count(tables.ranked));
  return shape.count * (28.0 + 2.0 * shape.w / block_size) +
         leaves * (16.0 * shape.w + 16.0) +
         threads * (leaves * 4.0 + 8.0 * shape.window) +
         static_cast<double>(std::min(k, shape.count)) * 64.0;
}

void motifs(const IndexShape &shape, const IndexTables &tables,
            const double *ts, std::int64_t k, std::int64_t exclude,
            std::int32_t threads, const JoinProgress &progress,
            double *distances, std::int64_t *starts, SearchStats &stats) {
  exclude = std::min(exclude, shape.length);
  const std::int64_t n = shape.window;
  const std::int64_t w = shape.w;
  const std::int64_t places = std::min(k, shape.count);
  const std::int64_t leaves = leaf_count(tables.ranked);
  std::vector<double> means, deviations;
  detail::JoinBounds bounds;
  LeafSpans spans;
  try {
    means.resize(static_cast<std::size_t>(shape.count));
    deviations.resize(static_cast<std::size_t>(shape.count));
    bounds = detail::join_bounds(shape, tables, ts, exclude, threads, progress);
    spans = leaf_spans(shape, tables, ts, threads, progress);
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
  std::set<std::int64_t> zones; // the starts chosen
  detail::AwayFrom free_of{0, exclude, shape.stride, &zones};
  const auto joinable = [&](std::int64_t a, std::int64_t b) {
    return free_of.apart(a * shape.stride, b * shape.stride) &&
           free_of.free(a * shape.stride) && free_of.free(b * shape.stride);
  };
  const auto shaped = [&](std::int64_t window) {
    return !detail::listed(tables.shapeless, tables.shapeless_count, window);
  };
  for (std::int64_t place = 0; place < places; ++place) {
    // The nearest pair of a window and its hint, for a start.
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
              if (!free_of.free(std::int64_t{tables.irregular[item - leaves]} *
                                shape.stride))
                continue;
              join(std::int64_t{tables.irregular[item - leaves]},
                   [&](const auto &visit) {
                     for (std::int64_t y = 0; y < shape.count; ++y)
                       if (shaped(y))
                         visit(y);
                   });
              continue;
            }
            double limit;
            {
              std::lock_guard<std::mutex> lock(mutex);
              limit = best.distance;
            }
            const double *low = &spans.low[item * w];
            const double *high = &spans.high[item * w];
            const double prune =
                detail::slack_for(n, w, spans.scale[item]).prune_above(limit);
            kept.clear();
            for (std::int64_t leaf = 0; leaf < leaves; ++leaf) {
              ++mine.leaf_bounds;
              if (!(span_bound(shape, tables, leaf, low, high) > prune))
                kept.push_back(leaf);
            }
            mine.leaves += static_cast<std::int64_t>(kept.size());
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
            // Blocks of a few query windows, held against the leaves their
            // leaf kept: their spans are narrower.
            for (std::int64_t block = begin; block < end; block += block_size) {
              const std::int64_t block_end = std::min(end, block + block_size);
              std::vector<double> block_low(
                  leaf_segments.begin() + (block - begin) * w,
                  leaf_segments.begin() + (block - begin + 1) * w);
              std::vector<double> block_high = block_low;
              double block_scale = 0.0;
              for (std::int64_t r = block; r < block_end; ++r) {
                block_scale = std::max(block_scale, leaf_scales[r - begin]);
                for (std::int64_t j = 0; j < w; ++j) {
                  const double mean = leaf_segments[(r - begin) * w + j];
                  block_low[j] = std::min(block_low[j], mean);
                  block_high[j] = std::max(block_high[j], mean);
                }
              }
              const double block_prune =
                  detail::slack_for(n, w, block_scale).prune_above(limit);
              block_kept.clear();
              for (const std::int64_t leaf : kept)
                if (!(span_bound(shape, tables, leaf, block_low.data(),
                                 block_high.data()) > block_prune))
                  block_kept.push_back(leaf);
              for (std::int64_t r = block; r < block_end; ++r) {
                const std::int64_t x = tables.windows[r];
                if (!free_of.free(x * shape.stride))
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
                    if (bound_of(w, own, least, least + w) >
                        slack.prune_above(limit))
                      continue;
                    const std::int64_t stop =
                        std::min(tables.ranked, (leaf + 1) * index_leaf_size);
                    for (std::int64_t block = leaf * index_leaf_size;
                         block < stop; block += block_size) {
                      const std::uint8_t *box =
                          blocks.data() + block / block_size * 2 * w;
                      if (bound_of(w, own, box, box + w) >
                          slack.prune_above(limit))
                        continue;
                      for (std::int64_t s = block;
                           s < std::min(stop, block + block_size); ++s) {
                        if (tables.windows[s] <= x)
                          continue; // the pair is the lower window's to join
                        const std::uint8_t *word = tables.words + s * w;
                        ++mine.window_bounds;
                        if (bound_of(w, own, word, word) >
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
      for (std::int64_t i = place; i < places; ++i) {
        distances[i] = std::numeric_limits<double>::quiet_NaN();
        starts[2 * i] = starts[2 * i + 1] = -1;
      }
      return;
    }
    distances[place] = best.distance;
    starts[2 * place] = best.a * shape.stride;
    starts[2 * place + 1] = best.b * shape.stride;
    zones.insert(best.a * shape.stride);
    zones.insert(best.b * shape.stride);
  }
}

} // namespace morvel
