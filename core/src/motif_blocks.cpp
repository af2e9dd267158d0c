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
constexpr float float_infinity = std::numeric_limits<float>::infinity();
constexpr std::int64_t leaf_windows = 8; // the smallest block
constexpr std::int64_t most_top_blocks = 512;
// Each window's estimates are kept as floats: a float f rounded to nearest
// from e has |e - f| <= 2^-24 (1 + 2^-24) |f|, or half the least subnormal
// (the least normal, should something have set flush-to-zero); these allow
// twice that.
constexpr double float_error = 1.2e-7;
constexpr double float_floor = 2.0 * FLT_MIN;

} // namespace

float float_below(double x) {
  // A subnormal edge would read as 0 where denormals are zero.
  if (std::fabs(x) < FLT_MIN)
    return x >= 0.0 ? 0.0f : -FLT_MIN;
  const float f = static_cast<float>(x);
  return static_cast<double>(f) > x ? std::nextafter(f, -float_infinity) : f;
}

float float_above(double x) {
  if (std::fabs(x) < FLT_MIN)
    return x <= 0.0 ? 0.0f : FLT_MIN;
  const float f = static_cast<float>(x);
  return static_cast<double>(f) < x ? std::nextafter(f, float_infinity) : f;
}

unsigned boxes_apart(const float *a, const float *b, std::int64_t w,
                     double limit) {
  return best_kernels().boxes_apart(a, b, w, limit);
}

std::uint64_t estimates_apart(const float *a, const float *b, std::int64_t w,
                              double limit) {
  return best_kernels().estimates_apart(a, b, w, limit);
}

double estimates_limit(double limit, std::int64_t w, double largest) {
  // Each estimate e lies within r / 2 of its float f, r = float_error
  // largest + float_floor, so two windows' estimates are at least their
  // floats' distance less R0 = sqrt(w) r apart. `limit` is s t, t the
  // exact squared threshold and s the slack's sum factor, which covers the
  // rounding of the floats' squared gaps summed (no more steps than the
  // cells'): a computed sum above s (sqrt(t) + R0)^2 proves the estimates
  // more than sqrt(t) apart. That is at most (sqrt(limit) + R)^2 for any R
  // >= sqrt(s) R0; R = 2 R0, and each rounded step below is made up by the
  // factors (1 + 4u) and (1 + 8u).
  if (!(limit < std::numeric_limits<double>::infinity()))
    return limit;
  const double u = unit_roundoff;
  const double r = float_error * largest + float_floor;
  const double reach = std::sqrt(limit) * (1.0 + 4.0 * u) +
                       2.0 * std::sqrt(static_cast<double>(w)) * r;
  return reach * reach * (1.0 + 8.0 * u);
}

double MotifBlocks::bytes(std::int64_t count, std::int64_t w) {
  // Estimates, the shape flags, the moments, and the boxes of every level
  // (a box of 2w floats per eight windows, then half as many a level up,
  // each level with an empty box or two more).
  return static_cast<double>(count) *
             (4.0 * static_cast<double>(w) + 17.0 +
              2.0 * 8.0 * static_cast<double>(w) / leaf_windows) +
         64.0 * 16.0 * static_cast<double>(w);
}

namespace {

// A level of `real` boxes, padded with empty ones (lows +inf, highs -inf)
// to an even number above `real`, so that every box has a neighbour in
// memory for the kernel's pairs of two.
std::vector<float> empty_level(std::int64_t real, std::int64_t w) {
  std::vector<float> level;
  try {
    level.resize(static_cast<std::size_t>((real + 2) / 2 * 2 * 2 * w));
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  for (std::size_t box = 0; box < level.size(); box += 2 * w) {
    std::fill(&level[box], &level[box] + w, float_infinity);
    std::fill(&level[box] + w, &level[box] + 2 * w, -float_infinity);
  }
  return level;
}

} // namespace

MotifBlocks::MotifBlocks(const IndexShape &shape, const double *ts,
                         std::int32_t threads)
    : shape_(shape), ts_(ts) {
  const std::int64_t n = shape.window;
  const std::int64_t w = shape.w;
  const std::int64_t count = shape.count;
  const std::int64_t blocks = (count + leaf_windows - 1) / leaf_windows;
  try {
    estimates_.resize(static_cast<std::size_t>(blocks * leaf_windows * w));
    shaped_.resize(static_cast<std::size_t>(count));
    means_.resize(static_cast<std::size_t>(count));
    deviations_.resize(static_cast<std::size_t>(count));
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  levels_.push_back(empty_level(blocks, w));
  counts_.push_back(blocks);
  const Feeds feeds = segment_feeds(n, w);
  std::mutex mutex;
  // Blocks of leaf windows a step, so that each block's box is one
  // thread's.
  in_steps(
      count, 128 * leaf_windows, threads, nullptr,
      [&](std::int64_t first, std::int64_t last) {
        // The step's boxes gathered in doubles, then rounded outwards once.
        const std::int64_t blocks_here =
            (last - first + leaf_windows - 1) / leaf_windows;
        std::vector<double> boxes(
            static_cast<std::size_t>(blocks_here * 2 * w));
        for (std::int64_t box = 0; box < blocks_here; ++box) {
          std::fill(&boxes[box * 2 * w], &boxes[box * 2 * w] + w, infinity);
          std::fill(&boxes[box * 2 * w] + w, &boxes[box * 2 * w] + 2 * w,
                    -infinity);
        }
        bool regular = true;
        double largest = 0.0;
        summarise_windows(
            shape, ts, feeds, first, last,
            [&](std::int64_t tile, std::int64_t size, const Summary *summaries,
                const double *means) {
              for (std::int64_t k = 0; k < size; ++k) {
                const std::int64_t i = tile + k;
                const WindowKind kind = summaries[k].kind;
                shaped_[static_cast<std::size_t>(i)] =
                    kind != WindowKind::shapeless;
                means_[static_cast<std::size_t>(i)] = summaries[k].mean;
                deviations_[static_cast<std::size_t>(i)] =
                    summaries[k].deviation;
                if (kind == WindowKind::irregular)
                  regular = false;
                if (kind != WindowKind::regular)
                  continue; // its estimates stay 0, never read
                float *estimate = &estimates_[estimates_at(i)];
                double *box = &boxes[static_cast<std::size_t>(
                    (i - first) / leaf_windows * 2 * w)];
                const double *mean = means + k * w;
                for (std::int64_t j = 0; j < w; ++j) {
                  estimate[j * leaf_windows] = static_cast<float>(mean[j]);
                  largest = std::max(largest, std::fabs(static_cast<double>(
                                                  estimate[j * leaf_windows])));
                  box[j] = std::min(box[j], mean[j]);
                  box[w + j] = std::max(box[w + j], mean[j]);
                }
              }
            });
        float *out =
            &levels_[0][static_cast<std::size_t>(first / leaf_windows * 2 * w)];
        for (std::int64_t box = 0; box < blocks_here; ++box)
          for (std::int64_t j = 0; j < w; ++j) {
            out[box * 2 * w + j] = float_below(boxes[box * 2 * w + j]);
            out[box * 2 * w + w + j] = float_above(boxes[box * 2 * w + w + j]);
          }
        std::lock_guard<std::mutex> lock(mutex);
        ready_ = ready_ && regular;
        largest_ = std::max(largest_, largest);
        return true;
      });
  if (!ready_)
    return;
  // Each level's boxes from the one below.
  while (counts_.back() > 1) {
    const std::int64_t boxes = (counts_.back() + 1) / 2;
    std::vector<float> above = empty_level(boxes, w);
    const std::vector<float> &below = levels_.back();
    for (std::int64_t box = 0; box < boxes; ++box) {
      const float *left = &below[static_cast<std::size_t>(2 * box * 2 * w)];
      const float *right = left + 2 * w; // perhaps empty
      float *out = &above[static_cast<std::size_t>(box * 2 * w)];
      for (std::int64_t j = 0; j < w; ++j) {
        out[j] = std::min(left[j], right[j]);
        out[w + j] = std::max(left[w + j], right[w + j]);
      }
    }
    levels_.push_back(std::move(above));
    counts_.push_back(boxes);
  }
}

double MotifBlocks::distance(std::int64_t a, std::int64_t b, double limit,
                             bool &abandoned) const {
  // Window a z-normalised as it is read, each value exactly as normalising
  // it first would give it.
  const double *x = ts_ + a * shape_.stride;
  const double mean = means_[static_cast<std::size_t>(a)],
               deviation = deviations_[static_cast<std::size_t>(a)];
  return distance_to([x, mean, deviation](
                         std::int64_t i) { return (x[i] - mean) / deviation; },
                     ts_ + b * shape_.stride, shape_.window,
                     means_[static_cast<std::size_t>(b)],
                     deviations_[static_cast<std::size_t>(b)], limit,
                     abandoned);
}

Pair MotifBlocks::start(const IndexTables &tables,
                        const std::vector<std::uint8_t> &usable,
                        std::int64_t exclude) const {
  constexpr std::int64_t reach = 8;      // key-order neighbours a window meets
  constexpr std::size_t candidates = 64; // pairs computed
  const std::int64_t w = shape_.w;
  const std::int64_t stride = shape_.stride;
  // The candidates by the squared gap of their words' symbols (fine
  // regions, so near in value where near in symbol), nearest first.
  std::vector<std::pair<std::int64_t, Pair>> nearest;
  for (std::int64_t r = 0; r < tables.ranked; ++r) {
    const std::int64_t a = tables.windows[r];
    if (!usable[static_cast<std::size_t>(a)])
      continue;
    const std::uint8_t *word_a = tables.words + r * w;
    for (std::int64_t s = r + 1; s < std::min(tables.ranked, r + 1 + reach);
         ++s) {
      const std::int64_t b = tables.windows[s];
      if (!usable[static_cast<std::size_t>(b)] ||
          !apart(a * stride, b * stride, exclude))
        continue;
      const std::uint8_t *word_b = tables.words + s * w;
      std::int64_t gap = 0;
      for (std::int64_t j = 0; j < w; ++j) {
        const std::int64_t d = std::int64_t{word_a[j]} - word_b[j];
        gap += d * d;
      }
      if (nearest.size() == candidates && gap >= nearest.back().first)
        continue;
      const Pair pair{0.0, std::min(a, b), std::max(a, b)};
      auto at = std::upper_bound(
          nearest.begin(), nearest.end(), gap,
          [](std::int64_t g, const std::pair<std::int64_t, Pair> &c) {
            return g < c.first;
          });
      nearest.insert(at, {gap, pair});
      if (nearest.size() > candidates)
        nearest.pop_back();
    }
  }
  Pair best;
  for (const auto &candidate : nearest) {
    Pair pair = candidate.second;
    bool abandoned = false;
    pair.distance =
        distance(pair.a, pair.b, abandon_above(best.distance), abandoned);
    if (!abandoned)
      best = std::min(best, pair);
  }
  return best;
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
  const auto apart_estimates = best_kernels().estimates_apart;
  // The level whose pairs of blocks are shared among threads.
  std::size_t top = 0;
  while (top + 1 < levels_.size() && counts_[top] > most_top_blocks)
    ++top;
  const std::int64_t tops = counts_[top];
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
        // The boxes' threshold, and the floats' (estimates_limit), for the
        // nearest pair so far.
        double prune = 0.0, prune_floats = 0.0;
        const auto nearest_so_far = [&](const Pair &pair) {
          local = pair;
          prune = slack.prune_above(local.distance);
          prune_floats = estimates_limit(prune, w, largest_);
        };
        nearest_so_far(local);
        const auto found = [&](const Pair &pair) {
          std::lock_guard<std::mutex> lock(mutex);
          best = std::min(best, pair);
          nearest_so_far(best);
        };
        // Leaf blocks a <= b: each window of a against the later windows of
        // b, their bounds in one, those they leave computed.
        const auto windows = [&](std::int64_t block_a, std::int64_t block_b) {
          const std::int64_t a0 = block_a * leaf_windows;
          const std::int64_t b0 = block_b * leaf_windows;
          const std::int64_t b1 = std::min(count, b0 + leaf_windows);
          std::uint64_t open = 0; // bit 8k + m: a0 + k paired with b0 + m
          for (std::int64_t a = a0; a < std::min(count, a0 + leaf_windows);
               ++a) {
            if (!usable[static_cast<std::size_t>(a)])
              continue;
            for (std::int64_t b = std::max(b0, a + 1); b < b1; ++b)
              if (usable[static_cast<std::size_t>(b)] &&
                  apart(a * stride, b * stride, exclude)) {
                open |= std::uint64_t{1} << (8 * (a - a0) + (b - b0));
                ++mine.window_bounds;
              }
          }
          if (open == 0)
            return;
          open &=
              ~apart_estimates(&estimates_[estimates_at(a0)],
                               &estimates_[estimates_at(b0)], w, prune_floats);
          for (int bit = 0; open != 0; ++bit, open >>= 1) {
            if ((open & 1) == 0)
              continue;
            const std::int64_t a = a0 + bit / 8, b = b0 + bit % 8;
            ++mine.distances;
            bool abandoned = false;
            const double distance =
                this->distance(a, b, abandon_above(local.distance), abandoned);
            if (abandoned) {
              ++mine.abandoned;
              continue;
            }
            const Pair pair{distance, a, b};
            if (pair < local)
              found(pair);
          }
        };
        // Whether some pair of blocks a <= b of a level is outside the
        // zone.
        const auto reachable = [&](std::size_t level, std::int64_t a,
                                   std::int64_t b) {
          const std::int64_t size = leaf_windows << level;
          const std::int64_t b_last = std::min(count, b * size + size) - 1;
          return apart(a * size * stride, b_last * stride, exclude);
        };
        // Blocks a <= b of a level, kept: their children's pairs that are
        // kept too (four bounds at once), down to pairs of windows.
        const auto visit = [&](const auto &self, std::size_t level,
                               std::int64_t a, std::int64_t b) -> void {
          if (level == 0) {
            windows(a, b);
            return;
          }
          const std::size_t down = level - 1;
          const float *boxes = levels_[down].data();
          const unsigned far = apart_boxes(boxes + 2 * a * 2 * w,
                                           boxes + 2 * b * 2 * w, w, prune);
          for (int i = 0; i < 2; ++i)
            for (int k = 0; k < 2; ++k) {
              const std::int64_t child_a = 2 * a + i, child_b = 2 * b + k;
              if (child_b >= counts_[down] || child_a > child_b ||
                  !reachable(down, child_a, child_b))
                continue; // no such block, the pair taken the other way, or
                          // all within the zone
              if (child_a != child_b) {
                ++mine.leaf_bounds;
                if ((far >> (2 * i + k) & 1u) != 0)
                  continue;
              }
              self(self, down, child_a, child_b);
            }
        };
        const float *top_boxes = levels_[top].data();
        for (std::int64_t p = first; p < last; ++p) {
          // Pair p of the top level's (a, b), a <= b, row by row.
          std::int64_t a = 0, left = p;
          while (left >= tops - a) {
            left -= tops - a;
            ++a;
          }
          const std::int64_t b = a + left;
          {
            std::lock_guard<std::mutex> lock(mutex);
            if (best < local)
              nearest_so_far(best);
          }
          if (!reachable(top, a, b))
            continue;
          if (a != b) {
            ++mine.leaf_bounds;
            // The first of the kernel's four bounds is a's against b's.
            if ((apart_boxes(top_boxes + a * 2 * w, top_boxes + b * 2 * w, w,
                             prune) &
                 1u) != 0)
              continue;
          }
          visit(visit, top, a, b);
        }
        std::lock_guard<std::mutex> lock(mutex);
        stats += mine;
        return true;
      });
  return best;
}

} // namespace morvel::detail
