// The index's bounds where they are tightest: the symbol of a mean at every
// cut point, and windows whose distance to the query is rounding alone.
#include <morvel/alphabet.hpp>
#include <morvel/index.hpp>
#include <morvel/plan.hpp>

#include "index_windows.hpp"
#include "kernel_interface.hpp"
#include "search_bound.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

TEST(FineSymbol, IsTheCountOfCutPointsNotAboveTheMean) {
  const double *cuts = morvel::fine_breakpoints();
  std::vector<double> means = {0.0,
                               -0.0,
                               infinity,
                               -infinity,
                               1e300,
                               -1e300,
                               std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::denorm_min(),
                               4.0,
                               -4.0};
  for (int s = 0; s < morvel::fine_symbol_count - 1; ++s)
    for (double mean = cuts[s], step = 0; step < 4; ++step) {
      means.push_back(mean);
      means.push_back(std::nextafter(cuts[s], -infinity) - step * 1e-17);
      mean = std::nextafter(mean, infinity);
    }
  for (int cell = -2050; cell <= 2050; ++cell)
    for (const double nudge : {-1e-15, 0.0, 1e-15})
      means.push_back(cell / morvel::fine_guess_scale + nudge);
  for (const double mean : means) {
    const auto expected =
        std::upper_bound(cuts, cuts + morvel::fine_symbol_count - 1, mean) -
        cuts;
    ASSERT_EQ(morvel::fine_symbol(mean), expected) << mean;
  }
  EXPECT_EQ(morvel::fine_symbol(std::nan("")), 255);
}

// Copies a q + b of the query at offsets of 2^50 to 2^60, short windows, one
// segment or one per value: the estimate of a segment mean is then as far
// from the truth as the distance itself, and only the slack the threshold
// carries for its own rounding keeps the bound below the distance.
TEST(IndexBound, NeverExceedsTheDistanceOfRoundingAlone) {
  std::mt19937_64 random(20261209);
  std::normal_distribution<double> step;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::int64_t tight = 0;
  for (int trial = 0; trial < 40000; ++trial) {
    const std::int64_t n = 2 + trial % 4;
    const std::int64_t w = trial % 2 == 0 ? 1 : n;
    std::vector<double> q(static_cast<std::size_t>(n)), x(q.size());
    double level = 0.0;
    for (double &value : q)
      value = level += step(random);
    const double scale = 0.5 + 1.5 * uniform(random);
    const double offset = std::exp2(50.0 + 10.0 * uniform(random));
    for (std::size_t i = 0; i < q.size(); ++i)
      x[i] = scale * q[i] + offset;
    const morvel::IndexShape shape = morvel::plan_index(n, n, 1, w);
    const morvel::detail::Query query =
        morvel::detail::prepare(shape, q.data());
    if (!query.bounded)
      continue;
    const morvel::detail::Feeds feeds = morvel::detail::segment_feeds(n, w);
    std::vector<double> segments(static_cast<std::size_t>(w));
    morvel::detail::Summary summary;
    const double *window = x.data();
    morvel::detail::summarise<1>(&window, n, w, feeds, &summary,
                                 segments.data());
    if (summary.kind != morvel::detail::WindowKind::regular)
      continue;
    double bound = 0.0;
    for (std::int64_t j = 0; j < w; ++j)
      bound += query.cells[static_cast<std::size_t>(
          j * morvel::fine_symbol_count + morvel::fine_symbol(segments[j]))];
    bool abandoned = false;
    const double distance = morvel::detail::window_distance(
        window, n, summary.mean, summary.deviation, query.zq.data(), infinity,
        abandoned);
    ASSERT_LE(bound, query.slack.prune_above(distance))
        << "n " << n << " w " << w << " offset " << offset;
    ASSERT_LE(query.slack.distance_below(bound), distance);
    tight += bound * static_cast<double>(n) >
             distance * distance * static_cast<double>(w);
  }
  // The bound without its slack would have failed here: the case is live.
  EXPECT_GT(tight, 0);
}

// The summaries kernel of every instruction set this CPU runs adds what the
// plain summary adds, lane by lane: the same moments, scale and segment
// estimates, bit for bit, on walks with spikes, flat runs, NaN and values
// whose squares overflow.
TEST(IndexSummaries, EveryInstructionSetIsThePlainSummary) {
  const auto same = [](double a, double b) {
    return (std::isnan(a) && std::isnan(b)) ||
           std::memcmp(&a, &b, sizeof a) == 0;
  };
  std::mt19937_64 random(20261209);
  std::normal_distribution<double> step(0.0, 1.0);
  std::vector<double> ts(3000);
  double level = 0.0;
  for (std::size_t i = 0; i < ts.size(); ++i)
    ts[i] = level += step(random) * (i % 97 == 0 ? 1e6 : 1.0);
  std::fill(ts.begin() + 500, ts.begin() + 700, 3.0);
  ts[1000] = std::numeric_limits<double>::quiet_NaN();
  for (std::size_t i = 1500; i < 1600; ++i)
    ts[i] *= 1e200;
  for (const morvel::InstructionSet set : morvel::usable_instruction_sets()) {
    const morvel::detail::Kernels &kernels = morvel::detail::kernels_of(set);
    for (const auto &[n, w] : {std::pair<std::int32_t, std::int32_t>{16, 4},
                               {33, 5},
                               {64, 16},
                               {7, 7},
                               {100, 1}}) {
      const morvel::detail::Feeds feeds = morvel::detail::segment_feeds(n, w);
      std::vector<std::int32_t> values;
      std::vector<double> weights;
      for (const morvel::detail::Feed &feed : feeds.feeds) {
        values.push_back(feed.value);
        weights.push_back(feed.weight);
      }
      const std::int64_t count = (static_cast<std::int64_t>(ts.size()) - n) /
                                 kernels.lanes * kernels.lanes;
      std::vector<double> means(count), deviations(count), largest(count),
          segments(static_cast<std::size_t>(count * w));
      kernels.summaries({ts.data(), 0, count, n, w, values.data(),
                         weights.data(), feeds.first.data(), means.data(),
                         deviations.data(), largest.data(), segments.data()});
      std::vector<double> plain(static_cast<std::size_t>(w));
      for (std::int64_t i = 0; i < count; ++i) {
        const double *x = ts.data() + i;
        morvel::detail::Summary summary;
        morvel::detail::summarise<1>(&x, n, w, feeds, &summary, plain.data());
        const std::string where =
            std::string(morvel::instruction_set_name(set)) + " n " +
            std::to_string(n) + " w " + std::to_string(w) + " window " +
            std::to_string(i);
        ASSERT_TRUE(same(means[i], summary.mean)) << where;
        ASSERT_TRUE(same(deviations[i], summary.deviation)) << where;
        ASSERT_TRUE(same(largest[i] / deviations[i], summary.scale)) << where;
        for (std::int32_t j = 0; j < w; ++j)
          ASSERT_TRUE(same(segments[i * w + j], plain[j]))
              << where << " segment " << j;
      }
    }
  }
}

} // namespace
