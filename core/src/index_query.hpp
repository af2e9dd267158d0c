// A query as the search reads it: z-normalised, its segment means' squared
// distance to every symbol's region, and the threshold that lets a sum of
// those cells prune. Shared with the tests of the bound.
#pragma once

#include "morvel/index.hpp"

#include <cstdint>
#include <vector>

namespace morvel::detail {

struct Query {
  std::int64_t n = 0;
  std::int64_t w = 0;
  std::vector<double> zq;
  // cells[j * symbols + s]: the squared distance from q's segment j to the
  // region of symbol s.
  std::vector<double> cells;
  std::vector<std::uint8_t> own; // q's own symbols
  bool bounded = false;          // the bounds may speak for q
  double base = 0.0;             // the threshold's terms that do not vary
  double slope = 0.0;
};

// Reads q (shape.window values). Throws std::invalid_argument when q has no
// shape. Cost: two passes over q, and w * 256 cells.
Query prepare(const IndexShape &shape, const double *q);

// The least computed sum of a window's or leaf's squared cells that proves
// its distance above `best`. O(1).
double prune_above(const Query &query, double best);

// A distance that a window, or every window of a leaf, whose computed sum
// of squared cells is `sum`, is proven not to be below: the inverse of
// prune_above, shrunk by far more than its own rounding. O(1).
double distance_below(const Query &query, double sum);

// The least partial sum of squares that proves a distance above `best`:
// any S above nextup(best)^2 has a square root, rounded, above best. O(1).
double abandon_above(double best);

} // namespace morvel::detail
