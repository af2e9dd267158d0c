// The motifs' search over blocks of consecutive windows (motif_blocks.hpp).
#include "motif_blocks.hpp"

#include "index_windows.hpp"
#include "kernel_interface.hpp"
#include "search_bound.hpp"
#include "walk.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <mutex>

namespace morvel::detail {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::int64_t leaf_windows = 8; // the smallest block
constexpr std::int64_t most_top_blocks = 512;
// Each window's estimates are kept as floats: a float f rounded to nearest
// from e has |e - f| <= 2^-24 (1 + 2^-24) |f|, or half the least subnormal
// (the least normal, should something have set flush-to-zero); these allow
// twice that. The boxes are of the estimates themselves.
constexpr double float_error = 1.2e-7;
constexpr double float_floor = 2.0 * FLT_MIN;

} // namespace

bool boxes_apart(const double *a, const double *b, std::int64_t w,
                 double limit) {
  return best_kernels().boxes_apart(a, b, w, limit);
}

bool estimates_apart(const float *a, const float *b, std::int64_t w,
                     double limit) {
  return best_kernels().estimates_apart(a, b, w, float_error, float_floor,
                                        limit);
}

double MotifBlocks::bytes(std::int64_t count, std::int64_t w) {
  // Estimates, the shape flags, and the boxes of every level (a box of 2w
  // doubles per eight windows, then half as many a level up).
  return static_cast<double>(count) *
         (4.0 * static_cast<double>(w) + 1.0 +
          2.0 * 16.0 * static_cast<double>(w) / leaf_windows);
}

MotifBlocks::MotifBlocks(const IndexShape &shape, const double *ts,
                         std::int32_t threads)
    : shape_(shape), ts_(ts) {
  const std::int64_t n = shape.window;
  const std::int64_t w = shape.w;
  const std::int64_t count = shape.count;
  try {
    estimates_.resize(static_cast<std::size_t>(count * w));
    shaped_.resize(static_cast<std::size_t>(count));
    levels_.emplace_back(static_cast<std::size_t>((count + leaf_windows - 1) /
                                                  leaf_windows * 2 * w));
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  const Feeds feeds = segment_feeds(n, w);
  std::mutex irregular_mutex;
  // Blocks of leaf windows a step, so that each block's box is one
  // thread's.
  in_steps(count, 128 * leaf_windows, threads, nullptr,
           [&](std::int64_t first, std::int64_t last) {
             std::vector<double> means(static_cast<std::size_t>(w));
             std::vector<double> low(static_cast<std::size_t>(w)),
                 high(static_cast<std::size_t>(w));
             bool regular = true;
             for (std::int64_t block = first; block < last;
                  block += leaf_windows) {
               std::fill(low.begin(), low.end(), infinity);
               std::fill(high.begin(), high.end(), -infinity);
               for (std::int64_t i = block;
                    i < std::min(last, block + leaf_windows); ++i) {
                 const double *x = ts + i * shape.stride;
                 Summary summary;
                 summarise<1>(&x, n, w, feeds, &summary, means.data());
                 float *estimate = &estimates_[static_cast<std::size_t>(i * w)];
                 shaped_[static_cast<std::size_t>(i)] =
                     summary.kind != WindowKind::shapeless;
                 if (summary.kind == WindowKind::irregular)
                   regular = false;
                 if (summary.kind != WindowKind::regular) {
                   std::fill(estimate, estimate + w, 0.0f);
                   continue;
                 }
                 for (std::int64_t j = 0; j < w; ++j) {
                   estimate[j] = static_cast<float>(means[j]);
                   low[j] = std::min(low[j], means[j]);
                   high[j] = std::max(high[j], means[j]);
                 }
               }
               double *box = &levels_[0][static_cast<std::size_t>(
                   block / leaf_windows * 2 * w)];
               for (std::int64_t j = 0; j < w; ++j) {
                 box[j] = low[j];
                 box[w + j] = high[j];
               }
             }
             if (!regular) {
               std::lock_guard<std::mutex> lock(irregular_mutex);
               ready_ = false;
             }
             return true;
           });
  if (!ready_)
    return;
  // Each level's boxes from the one below.
  while (levels_.back().size() > static_cast<std::size_t>(2 * w)) {
    const std::vector<double> &below = levels_.back();
    const std::size_t boxes = below.size() / static_cast<std::size_t>(2 * w);
    std::vector<double> above;
    try {
      above.resize((boxes + 1) / 2 * static_cast<std::size_t>(2 * w));
    } catch (const std::bad_alloc &) {
      throw allocation_error();
    }
    for (std::size_t box = 0; box < (boxes + 1) / 2; ++box) {
      const double *left = &below[2 * box * static_cast<std::size_t>(2 * w)];
      const double *right = 2 * box + 1 < boxes ? left + 2 * w : left;
      for (std::int64_t j = 0; j < w; ++j) {
        above[box * static_cast<std::size_t>(2 * w) + j] =
            std::min(left[j], right[j]);
        above[box * static_cast<std::size_t>(2 * w) + w + j] =
            std::max(left[w + j], right[w + j]);
      }
    }
    levels_.push_back(std::move(above));
  }
}

Pair MotifBlocks::nearest_pair(const std::vector<std::uint8_t> &usable,
                               std::int64_t exclude, Pair best,
                               std::int32_t threads,
                               const JoinProgress &progress,
                               SearchStats &stats) const {
  const std::int64_t n = shape_.window;
  const std::int64_t w = shape_.w;
  const std::int64_t count = shape_.count;
  const std::int64_t stride = shape_.stride;
  const Slack slack = slack_for(n, w, regular_limit(n));
  const auto apart_boxes = best_kernels().boxes_apart;
  const auto apart_estimates =
      [apart = best_kernels().estimates_apart](const float *a, const float *b,
                                               std::int64_t w, double limit) {
        return apart(a, b, w, float_error, float_floor, limit);
      };
  // The level whose pairs of blocks are shared among threads.
  std::size_t top = 0;
  while (top + 1 < levels_.size() &&
         static_cast<std::int64_t>(levels_[top].size()) / (2 * w) >
             most_top_blocks)
    ++top;
  const std::int64_t tops =
      static_cast<std::int64_t>(levels_[top].size()) / (2 * w);
  const std::int64_t top_pairs = tops * (tops + 1) / 2;
  std::mutex mutex;
  in_steps(
      top_pairs, 64, threads,
      progress ? JoinProgress([&](std::int64_t done, std::int64_t) {
        progress(done * count / std::max<std::int64_t>(top_pairs, 1), count);
      })
               : JoinProgress(),
      [&](std::int64_t first, std::int64_t last) {
        SearchStats mine;
        Pair local;
        {
          std::lock_guard<std::mutex> lock(mutex);
          local = best;
        }
        double prune = slack.prune_above(local.distance);
        std::vector<double> zq(static_cast<std::size_t>(n));
        const auto found = [&](const Pair &pair) {
          std::lock_guard<std::mutex> lock(mutex);
          best = std::min(best, pair);
          local = best;
          prune = slack.prune_above(local.distance);
        };
        const auto windows = [&](std::int64_t a0, std::int64_t a1,
                                 std::int64_t b0, std::int64_t b1) {
          for (std::int64_t a = a0; a < a1; ++a) {
            if (!usable[static_cast<std::size_t>(a)])
              continue;
            const float *ea = &estimates_[static_cast<std::size_t>(a * w)];
            bool normalised = false;
            for (std::int64_t b = std::max(b0, a + 1); b < b1; ++b) {
              if (!usable[static_cast<std::size_t>(b)] ||
                  !apart(a * stride, b * stride, exclude))
                continue;
              ++mine.window_bounds;
              if (apart_estimates(ea,
                                  &estimates_[static_cast<std::size_t>(b * w)],
                                  w, prune))
                continue;
              const double *xa = ts_ + a * stride;
              if (!normalised) {
                double mean, deviation;
                moments_at(&xa, 1, static_cast<std::int32_t>(n), &mean,
                           &deviation);
                for (std::int64_t i = 0; i < n; ++i)
                  zq[static_cast<std::size_t>(i)] = (xa[i] - mean) / deviation;
                normalised = true;
              }
              const double *xb = ts_ + b * stride;
              double mean, deviation;
              moments_at(&xb, 1, static_cast<std::int32_t>(n), &mean,
                         &deviation);
              ++mine.distances;
              bool abandoned = false;
              const double distance =
                  window_distance(xb, n, mean, deviation, zq.data(),
                                  abandon_above(local.distance), abandoned);
              if (abandoned) {
                ++mine.abandoned;
                continue;
              }
              const Pair pair{distance, a, b};
              if (pair < local)
                found(pair);
            }
          }
        };
        // Whether blocks a <= b of a level may hold a pair within the
        // threshold: not every pair within the zone, and their boxes not
        // apart.
        const auto kept = [&](std::size_t level, std::int64_t a,
                              std::int64_t b) {
          const std::int64_t size = leaf_windows << level;
          const std::int64_t b_last = std::min(count, b * size + size) - 1;
          if (!apart(a * size * stride, b_last * stride, exclude))
            return false;
          if (a == b)
            return true;
          ++mine.leaf_bounds;
          const double *boxes = levels_[level].data();
          return !apart_boxes(boxes + a * 2 * w, boxes + b * 2 * w, w, prune);
        };
        // Blocks a <= b of a level, kept: their children's pairs that are
        // kept too, down to pairs of windows.
        const auto visit = [&](const auto &self, std::size_t level,
                               std::int64_t a, std::int64_t b) -> void {
          if (level == 0) {
            const std::int64_t a0 = a * leaf_windows, b0 = b * leaf_windows;
            windows(a0, std::min(count, a0 + leaf_windows), b0,
                    std::min(count, b0 + leaf_windows));
            return;
          }
          const std::size_t down = level - 1;
          const std::int64_t below =
              static_cast<std::int64_t>(levels_[down].size()) / (2 * w);
          const std::int64_t pairs[4][2] = {{2 * a, 2 * b},
                                            {2 * a, 2 * b + 1},
                                            {2 * a + 1, 2 * b},
                                            {2 * a + 1, 2 * b + 1}};
          for (const auto &pair : pairs) {
            if (pair[1] >= below || pair[0] > pair[1])
              continue; // no such block, or the pair taken the other way
            if (kept(down, pair[0], pair[1]))
              self(self, down, pair[0], pair[1]);
          }
        };
        for (std::int64_t p = first; p < last; ++p) {
          // Pair p of the top level's (a, b), a <= b, row by row.
          std::int64_t a = 0, left = p;
          while (left >= tops - a) {
            left -= tops - a;
            ++a;
          }
          {
            std::lock_guard<std::mutex> lock(mutex);
            if (best < local) {
              local = best;
              prune = slack.prune_above(local.distance);
            }
          }
          if (kept(top, a, a + left))
            visit(visit, top, a, a + left);
        }
        std::lock_guard<std::mutex> lock(mutex);
        stats += mine;
        return true;
      });
  return best;
}

} // namespace morvel::detail
