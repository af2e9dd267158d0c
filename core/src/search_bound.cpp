// The search's lower bound and its slack (see search_bound.hpp).
#include "search_bound.hpp"

#include "index_windows.hpp"
#include "rounding.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace morvel::detail {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::int32_t symbols = fine_symbol_count;

} // namespace

double Slack::prune_above(double best) const {
  if (!(best < infinity))
    return infinity;
  // Underflow adds at most about sqrt(n) 2^-537 anywhere, far below the
  // error terms in `base` (about 1e-14 at least).
  const double h = (best * slope_ + base_) * threshold_factor;
  return h * h * sum_factor_;
}

double Slack::distance_below(double sum) const {
  // prune_above undone step by step, each division rounded the way that
  // can only lower the result further than the final shrink makes up for.
  const double h = std::sqrt(sum) / std::sqrt(sum_factor_) / threshold_factor;
  const double below = (h - base_) / slope_;
  return below > 0.0 ? below * (1.0 - 1e-12) : 0.0;
}

Slack slack_for(std::int64_t n, std::int64_t w, double scale) {
  const double u = unit_roundoff;
  const double root_n = std::sqrt(static_cast<double>(n));
  const double limit = regular_limit(n);
  const double rounding = 2.0001 * u * root_n * (scale + limit) * (1.0 + u);
  const double errors = std::sqrt(static_cast<double>(w)) *
                        (segment_error(n, limit) + segment_error(n, scale));
  const double shrink = std::sqrt(static_cast<double>(w) / n);
  return Slack(w, rounding * shrink + errors,
               shrink / (1.0 - static_cast<double>(n + 4) * u));
}

Query prepare(const IndexShape &shape, const double *q) {
  Query query;
  const std::int64_t n = shape.window;
  const std::int64_t w = shape.w;
  query.n = n;
  query.w = w;
  const Feeds feeds = segment_feeds(n, w);
  std::vector<double> segments(static_cast<std::size_t>(w));
  Summary summary;
  summarise<1>(&q, n, w, feeds, &summary, segments.data());
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
    query.own[j] = fine_symbol(mean);
    for (std::int32_t s = 0; s < symbols; ++s)
      query.cells[j * symbols + s] =
          squared_gap(mean, {s == 0 ? -infinity : cuts[s - 1], cuts[s]});
  }
  query.slack = slack_for(n, w, summary.scale);
  return query;
}

double word_bound(const Query &query, const std::uint8_t *word) {
  const double *cells = query.cells.data();
  double sums[4] = {0.0, 0.0, 0.0, 0.0};
  std::int64_t j = 0;
  for (; j + 4 <= query.w; j += 4)
    for (std::int64_t k = 0; k < 4; ++k)
      sums[k] += cells[(j + k) * symbols + word[j + k]];
  for (; j < query.w; ++j)
    sums[0] += cells[j * symbols + word[j]];
  return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

double leaf_bound(const Query &query, const std::uint8_t *low,
                  const std::uint8_t *high) {
  const double *cells = query.cells.data();
  double sum = 0.0;
  for (std::int64_t j = 0; j < query.w; ++j) {
    const std::uint8_t nearest =
        std::min(std::max(query.own[j], low[j]), high[j]);
    sum += cells[j * symbols + nearest];
  }
  return sum;
}

double abandon_above(double best) {
  if (!(best < infinity))
    return infinity;
  const double up = std::nextafter(best, infinity);
  return std::nextafter(up * up, infinity);
}

} // namespace morvel::detail
