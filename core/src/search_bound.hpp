// The search's lower bound: a query as the bound reads it (z-normalised,
// its segment means' squared gap to every symbol's region), the bound of a
// word and of a leaf, and the slack that turns a best distance into the
// sum of cells that proves a window farther, and back.
//
// The bound. Let A, B be the computed z-normalised query and window
// (index_windows.hpp), D the defined distance and L the distance between
// q's estimated segment means and the regions of the window's symbols. Then
//   D >= (1 - (n + 4)u) ||A - B||                    (n + 2 rounded steps)
//   ||A - B|| >= ||Y_q - Y_x|| - 2.0001u sqrt(n) (M_q + B)(1 + u)
//   ||Y_q - Y_x|| >= sqrt(n / w) (L - sqrt(w) (E + E_q))
// the last by the stretched means' Cauchy-Schwarz bound, each segment's
// mean lying within E of its estimate (and q's within E_q), so within E of
// its symbol's region. A window is pruned only when L exceeds what makes D
// at least the best distance it would have to beat, computed with slack for
// its own rounding and that of L: it is never a true neighbour, nor tied
// with one.
#pragma once

#include "morvel/index.hpp"
#include "rounding.hpp"

#include <cstdint>
#include <vector>

namespace morvel::detail {

// A bound's threshold and its inverse, with the one slack both are written
// in. H(best) = (best / c + rounding) * shrink + errors, c = 1 - (n + 4)u,
// is the least L that proves D > best in exact arithmetic; the computed
// sum of w cells, and H itself, are each within a few units of rounding.
class Slack {
public:
  Slack() = default;
  Slack(std::int64_t w, double base, double slope)
      : base_(base), slope_(slope),
        sum_factor_(1.0 + 2.0 * static_cast<double>(w + 8) * unit_roundoff) {}

  // The least computed sum of a window's or leaf's squared cells that
  // proves its distance above `best` (+inf for an infinite best). O(1).
  double prune_above(double best) const;

  // A distance that a window, or every window of a leaf, whose computed
  // sum of cells is `sum`, is proven not to be below: prune_above(x) < sum
  // for every x below it. O(1).
  double distance_below(double sum) const;

private:
  static constexpr double threshold_factor = 1.0 + 32.0 * unit_roundoff;
  double base_ = 0.0;
  double slope_ = 0.0;
  double sum_factor_ = 1.0;
};

struct Query {
  std::int64_t n = 0;
  std::int64_t w = 0;
  std::vector<double> zq;
  // cells[j * symbols + s]: the squared gap from q's segment j to the
  // region of symbol s.
  std::vector<double> cells;
  std::vector<std::uint8_t> own; // q's own symbols
  bool bounded = false;          // the bounds may speak for q
  Slack slack;
};

// The slack of a query of n values, w segments and scale fl(max|dev| / sd)
// `scale`: larger for a larger scale, so that the slack of the largest
// scale among several queries serves for each of them. O(1).
Slack slack_for(std::int64_t n, std::int64_t w, double scale);

// Reads q (shape.window values). Throws std::invalid_argument when q has no
// shape. Cost: two passes over q, and w * 256 cells.
Query prepare(const IndexShape &shape, const double *q);

// The bound of the word `word` (w symbols): the sum of its cells, in four
// partial sums to keep the adder busy (a sum of w non-negative cells is
// within gamma_{w-1} of the exact one in any order, which the slack allows
// for). Precondition: query.bounded. O(w).
double word_bound(const Query &query, const std::uint8_t *word);

// The bound of a leaf whose symbols lie between low[j] and high[j]: each
// segment's cell at the symbol of that range nearest q's own. O(w).
double leaf_bound(const Query &query, const std::uint8_t *low,
                  const std::uint8_t *high);

// The least partial sum of squares that proves a distance above `best`:
// any S above nextup(best)^2 has a square root, rounded, above best. O(1).
double abandon_above(double best);

} // namespace morvel::detail
