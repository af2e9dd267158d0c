// The lower-bounding distance between SAX words (MINDIST), and the tighter
// bound between a window's segment means and a word.
//
// For two words of w letters from windows of `window` values, with region
// numbers r[i] and c[i] (letter - 'a') and beta the breakpoint row of alpha:
//
//   cell(r, c) = 0                               when |r - c| <= 1
//              = beta[max(r, c) - 1] - beta[min(r, c)]   otherwise
//
// and for a segment mean q against region c, which holds the means in
// [beta[c - 1], beta[c]) (unbounded at either end):
//
//   cell(q, c) = beta[c - 1] - q   below it,  q - beta[c]   above it,
//                0                 inside,    NaN           for a NaN q.
//
// The distance is evaluated in this order, each operation rounded on its
// own: factor = sqrt(double(window) / double(w)); sum = 0.0, then
// sum += cell * cell for i = 0 ... w - 1 in ascending order; distance =
// factor * sqrt(sum). Words of no letters are at distance 0.0.
//
// The factor is right for every w, dividing the window or not: a segment
// mean averages `window` values of the window stretched w times, so the
// stretched window's squared distance, w times the window's, is at least
// `window` times the sum of squared differences of the means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvel {

// An array of words, numpy-style: `shape` and `strides` (in bytes) of every
// axis, the last axis being a word's letters, one byte each, or its segment
// means, doubles (only the first operand of a distance may hold means).
struct WordArray {
  const void *data = nullptr;
  bool means = false;
  std::vector<std::size_t> shape;
  std::vector<std::ptrdiff_t> strides;
};

// A checked distance call between every pair of words that numpy's
// broadcasting rules pair up.
struct DistancePlan {
  std::int32_t window = 0;
  std::int32_t alpha = 0;
  std::size_t w = 0;              // letters per word
  std::vector<std::size_t> shape; // the broadcast shape of the distances
  std::size_t count = 0;          // distances: the product of `shape`
};

// Checks a distance call and sizes it, in this order, each a
// std::invalid_argument: window > 0; an alphabet with a breakpoint row (as
// sax checks it); b holds letters; each operand has an axis of letters;
// both have words of the same length; their other axes broadcast. Then
// allocation_error where the distances would be more than PTRDIFF_MAX.
// Allocates only the shape. O(number of axes).
DistancePlan plan_mindist(const WordArray &a, const WordArray &b,
                          std::int32_t window, std::int32_t alpha);

// Writes the plan's distances into out[0 .. plan.count - 1], in C order of
// plan.shape. Throws std::invalid_argument for a byte that is not a letter of
// the alphabet ('a' and the next alpha - 1 letters; only 'a' for alpha 0
// or 1), with out then partly written. Preconditions: a and b are the
// operands the plan was made from and out does not overlap them. Cost:
// O(plan.count * w); allocates a few kilobytes of tables.
void mindist(const DistancePlan &plan, const WordArray &a, const WordArray &b,
             double *out);

} // namespace morvel
