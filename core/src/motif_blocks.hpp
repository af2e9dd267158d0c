// The motifs' search over blocks of consecutive windows.
//
// Each window's segment means are estimated as the index's words estimate
// them (index_windows.hpp); a block of consecutive windows keeps the box of
// its windows' estimates, and blocks pair up in a tree: eight windows, then
// sixteen, and so on. Two boxes whose squared gaps, summed, exceed the
// threshold of the nearest pair so far (Slack, with the slack of the
// largest regular scale on both sides) hold no pair as near: the true
// segment means of each window lie within its error of its estimate, so
// within it of its box, exactly as a query's lie within their error of its
// estimate against a leaf's box (search_bound.hpp). Pairs of blocks whose
// bound leaves them are split, down to pairs of windows, which are bounded
// alike and then computed, each abandoned above the nearest pair so far.
// Every pair at that distance or nearer is thus computed, and the nearest,
// ties to the lower pair, is exact. Consecutive windows of most series
// have neighbouring estimates, so the boxes of a few of them are narrow.
#pragma once

#include "self_join.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace morvel::detail {

// A pair of windows a < b at their distance, in the order of answers.
struct Pair {
  double distance = std::numeric_limits<double>::infinity();
  std::int64_t a = -1;
  std::int64_t b = -1;
  bool operator<(const Pair &other) const {
    return distance < other.distance ||
           (distance == other.distance &&
            (a < other.a || (a == other.a && b < other.b)));
  }
};

// The motifs' bounds, as bits. boxes_apart: whether the squared gaps
// between boxes a[i] and b[k] (each w lows, then w highs; a[1] right after
// a[0], b[1] after b[0]), summed, exceed `limit`: bit 2i + k.
// estimates_apart: the same between the float estimates of block a's
// eight windows and block b's (segment j of window k at [8 j + k]): bit
// 8k + m for a's window k and b's m. O(w).
unsigned boxes_apart(const float *a, const float *b, std::int64_t w,
                     double limit);
std::uint64_t estimates_apart(const float *a, const float *b, std::int64_t w,
                              double limit);

// A box's edges: the nearest float at most x and the nearest at least x
// that are not subnormal (so that no setting of the floating-point
// environment reads them otherwise). Never throws. O(1).
float float_below(double x);
float float_above(double x);

// The limit for estimates_apart that proves what `limit` proves of the
// estimates themselves (the boxes' threshold), for floats rounded from
// estimates none of which exceeds `largest` in magnitude. O(1).
double estimates_limit(double limit, std::int64_t w, double largest);

class MotifBlocks {
public:
  // Every window's estimates and the blocks' boxes, on `threads` threads.
  // `ready()` is false when some window is beyond the bounds (irregular):
  // the index's own search serves such a series. Throws allocation_error.
  MotifBlocks(const IndexShape &shape, const double *ts, std::int32_t threads);
  bool ready() const { return ready_; }

  // The nearest pair more than `exclude` apart whose windows both have a
  // shape and `usable` (one byte a window, nonzero for usable) says may be
  // chosen, ties to the lower pair; `best` if none is nearer or as near
  // and lower. Precondition: ready(). Cost: the blocks' bounds, pairs of
  // them split while their bound is below the nearest pair so far.
  Pair nearest_pair(const std::vector<std::uint8_t> &usable,
                    std::int64_t exclude, Pair best, std::int32_t threads,
                    const JoinProgress &progress, SearchStats &stats) const;

  // A pair to start from, near where the series has near pairs: of the
  // windows a few apart in key order (similar words), usable and more than
  // `exclude` apart, the few whose words are nearest, computed; no pair (at
  // +inf) if none is found. Cost: O(ranked w + n).
  Pair start(const IndexTables &tables, const std::vector<std::uint8_t> &usable,
             std::int64_t exclude) const;

  // Whether a window has a shape.
  bool shaped(std::int64_t window) const {
    return shaped_[static_cast<std::size_t>(window)] != 0;
  }

  // About the bytes it holds for a series of `count` windows. O(1).
  static double bytes(std::int64_t count, std::int64_t w);

private:
  // The distance of windows a and b, or a number > limit as soon as its
  // partial sum of squares exceeds `limit`, with `abandoned` set. Every
  // window's moments computed. O(window).
  double distance(std::int64_t a, std::int64_t b, double limit,
                  bool &abandoned) const;

  // Where a window's estimates begin in estimates_: segment j at 8 j on.
  std::size_t estimates_at(std::int64_t window) const {
    return static_cast<std::size_t>(window / 8 * 8 * shape_.w + window % 8);
  }

  const IndexShape &shape_;
  const double *ts_;
  bool ready_ = true;
  // Blocks of eight windows' estimates, rounded to nearest: segment j of
  // the block's window k at [8 j + k].
  std::vector<float> estimates_;
  std::vector<std::uint8_t> shaped_;       // per window
  std::vector<double> means_, deviations_; // per window, as the distance's
  // levels_[l]: counts_[l] boxes of 8 << l windows, each w lows then w
  // highs (floats rounded outwards), then one or two empty boxes (lows +inf,
  // highs -inf), as is a block without a regular window.
  std::vector<std::vector<float>> levels_;
  std::vector<std::int64_t> counts_;
  double largest_ = 0.0; // the largest magnitude of a float estimate
};

// motifs' answers two ways: over blocks of consecutive windows (false,
// with nothing written, when a window is beyond the bounds), and over the
// index's leaves (any series). Preconditions as motifs', exclude at most
// the series' length.
bool block_motifs(const IndexShape &shape, const IndexTables &tables,
                  const double *ts, std::int64_t k, std::int64_t exclude,
                  std::int32_t threads, const JoinProgress &progress,
                  double *distances, std::int64_t *starts, SearchStats &stats);
void leaf_motifs(const IndexShape &shape, const IndexTables &tables,
                 const double *ts, std::int64_t k, std::int64_t exclude,
                 std::int32_t threads, const JoinProgress &progress,
                 double *distances, std::int64_t *starts, SearchStats &stats);

} // namespace morvel::detail
