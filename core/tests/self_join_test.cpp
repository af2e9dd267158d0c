// The self-joins' fast ways against their plain searches, bit for bit, on
// series long enough for many tiles and blocks: the matrix profile's sweep
// against a search per window (and its kernel the same on every
// instruction set), the motifs' blocks against the index's leaves.
#include "index_windows.hpp"
#include "join_bounds.hpp"
#include "kernel_interface.hpp"
#include "morvel/index.hpp"
#include "morvel/plan.hpp"
#include "motif_blocks.hpp"
#include "profile_sweep.hpp"
#include "search_bound.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

struct Case {
  std::string name;
  std::int64_t length;
  std::int64_t window;
  std::int64_t exclude;
};

void PrintTo(const Case &c, std::ostream *out) { *out << c.name; }

std::vector<double> series(const std::string &name, std::int64_t length) {
  std::mt19937_64 random(20261210);
  std::normal_distribution<double> step;
  std::vector<double> ts(static_cast<std::size_t>(length));
  double level = 0.0;
  for (double &x : ts)
    x = level += step(random);
  if (name == "offset") // a walk a million above zero, its steps 1e-3
    for (double &x : ts)
      x = x * 1e-3 + 1e6;
  if (name == "gaps") { // flat stretches, NaN and an infinity
    for (std::size_t i = 3000; i < 4000; ++i)
      ts[i] = 5.0;
    ts[6000] = std::nan("");
    ts[9000] = INFINITY;
  }
  if (name == "repeats") // a stretch thrice: other windows' ties, not at 0
    for (std::size_t i = 0; i < 1500; ++i)
      ts[i + 3000] = ts[i + 6000] = ts[i];
  if (name == "flat level") // 11 windows flat to 1e-13 of their level
    for (std::size_t i = 5000; i < 5074; ++i)
      ts[i] = 1e9 + 1e-4 * static_cast<double>(i % 3);
  return ts;
}

// A case's series and its index.
class SelfJoin : public testing::TestWithParam<Case> {
protected:
  void SetUp() override {
    const Case &c = GetParam();
    ts = series(c.name, c.length);
    shape = morvel::plan_index(c.length, c.window, 1, 16);
    index = morvel::build_index(shape, ts.data(), 2, nullptr);
  }
  std::vector<double> ts;
  morvel::IndexShape shape;
  morvel::BuiltIndex index;
};

TEST_P(SelfJoin, SweepEqualsSearch) {
  const Case &c = GetParam();
  const morvel::IndexTables tables = index.tables();
  const auto count = static_cast<std::size_t>(shape.count);
  std::vector<double> swept(count), searched(count);
  std::vector<std::int64_t> swept_at(count), searched_at(count);
  morvel::SearchStats stats;
  ASSERT_TRUE(morvel::detail::sweep_profile(shape, tables, ts.data(), c.exclude,
                                            2, nullptr, swept.data(),
                                            swept_at.data(), stats));
  morvel::detail::search_profile(shape, tables, ts.data(), c.exclude, 2,
                                 nullptr, searched.data(), searched_at.data(),
                                 stats);
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_EQ(std::memcmp(&swept[i], &searched[i], sizeof(double)), 0)
        << "window " << i << ": " << swept[i] << " vs " << searched[i];
    ASSERT_EQ(swept_at[i], searched_at[i]) << "window " << i;
  }
}

TEST_P(SelfJoin, MotifBlocksEqualLeaves) {
  const Case &c = GetParam();
  constexpr std::int64_t k = 3;
  double blocks[k], leaves[k];
  std::int64_t block_starts[2 * k], leaf_starts[2 * k];
  morvel::SearchStats stats;
  ASSERT_TRUE(morvel::detail::block_motifs(shape, index.tables(), ts.data(), k,
                                           c.exclude, 2, nullptr, blocks,
                                           block_starts, stats));
  morvel::detail::leaf_motifs(shape, index.tables(), ts.data(), k, c.exclude, 2,
                              nullptr, leaves, leaf_starts, stats);
  EXPECT_EQ(std::memcmp(blocks, leaves, sizeof blocks), 0)
      << blocks[0] << " " << leaves[0];
  EXPECT_EQ(std::memcmp(block_starts, leaf_starts, sizeof block_starts), 0)
      << block_starts[0] << "," << block_starts[1] << " vs " << leaf_starts[0]
      << "," << leaf_starts[1];
}

INSTANTIATE_TEST_SUITE_P(
    Series, SelfJoin,
    testing::Values(Case{"walk", 18000, 128, 32}, // two row blocks a band
                    Case{"offset", 6000, 256, 64}, Case{"gaps", 10000, 100, 25},
                    Case{"repeats", 9000, 64, 16},
                    Case{"flat level", 7000, 64, 1000}),
    [](const testing::TestParamInfo<Case> &info) {
      std::string name = info.param.name;
      for (char &ch : name)
        if (ch == ' ')
          ch = '_';
      return name;
    });

// The motifs' bounds never part a pair at the threshold of its own
// distance: windows of w = n segments (where the bound is tightest, so that
// the floats' rounding shows), their estimates as floats and as boxes.
TEST(MotifBounds, NeverPartAPairAtItsOwnDistance) {
  constexpr std::int64_t n = 16, count = 3000;
  const std::vector<double> ts = series("walk", count + n - 1);
  const morvel::detail::Feeds feeds = morvel::detail::segment_feeds(n, n);
  std::vector<double> means(count * n), deviations(count), centres(count);
  for (std::int64_t i = 0; i < count; ++i) {
    const double *x = ts.data() + i;
    morvel::detail::Summary summary;
    morvel::detail::summarise<1>(&x, n, n, feeds, &summary,
                                 &means[static_cast<std::size_t>(i * n)]);
    centres[static_cast<std::size_t>(i)] = summary.mean;
    deviations[static_cast<std::size_t>(i)] = summary.deviation;
  }
  const morvel::detail::Slack slack =
      morvel::detail::slack_for(n, n, morvel::detail::regular_limit(n));
  std::mt19937_64 random(11);
  std::vector<double> zq(n);
  for (int trial = 0; trial < 50000; ++trial) {
    const auto a = static_cast<std::int64_t>(random() % count);
    const auto b = static_cast<std::int64_t>(random() % count);
    const double *x = ts.data() + a;
    for (std::int64_t i = 0; i < n; ++i)
      zq[static_cast<std::size_t>(i)] =
          (x[i] - centres[static_cast<std::size_t>(a)]) /
          deviations[static_cast<std::size_t>(a)];
    bool abandoned = false;
    const double distance = morvel::detail::window_distance(
        ts.data() + b, n, centres[static_cast<std::size_t>(b)],
        deviations[static_cast<std::size_t>(b)], zq.data(), INFINITY,
        abandoned);
    const double limit = slack.prune_above(distance);
    // Each in a random place of the kernels' blocks of eight windows and
    // pairs of boxes, the others far away.
    const std::int64_t slot_a = trial % 8, slot_b = trial / 8 % 8;
    const std::int64_t box_a = trial % 2, box_b = trial / 2 % 2;
    std::vector<float> block_a(8 * n, 1e30f), block_b(8 * n, -1e30f);
    std::vector<float> boxes_a(4 * n, 1e30f), boxes_b(4 * n, -1e30f);
    double largest = 0.0;
    for (std::int64_t j = 0; j < n; ++j) {
      const double ea = means[static_cast<std::size_t>(a * n + j)];
      const double eb = means[static_cast<std::size_t>(b * n + j)];
      block_a[static_cast<std::size_t>(8 * j + slot_a)] =
          static_cast<float>(ea);
      block_b[static_cast<std::size_t>(8 * j + slot_b)] =
          static_cast<float>(eb);
      largest = std::max({largest, std::fabs(double{static_cast<float>(ea)}),
                          std::fabs(double{static_cast<float>(eb)})});
      boxes_a[static_cast<std::size_t>(box_a * 2 * n + j)] =
          morvel::detail::float_below(ea);
      boxes_a[static_cast<std::size_t>(box_a * 2 * n + n + j)] =
          morvel::detail::float_above(ea);
      boxes_b[static_cast<std::size_t>(box_b * 2 * n + j)] =
          morvel::detail::float_below(eb);
      boxes_b[static_cast<std::size_t>(box_b * 2 * n + n + j)] =
          morvel::detail::float_above(eb);
    }
    ASSERT_EQ(morvel::detail::estimates_apart(
                  block_a.data(), block_b.data(), n,
                  morvel::detail::estimates_limit(limit, n, largest)) >>
                      (8 * slot_a + slot_b) &
                  1u,
              0u)
        << "windows " << a << " and " << b;
    ASSERT_EQ(
        morvel::detail::boxes_apart(boxes_a.data(), boxes_b.data(), n, limit) >>
                (2 * box_a + box_b) &
            1u,
        0u)
        << "windows " << a << " and " << b;
  }
}

// A box's edges hold their value and are never subnormal (a subnormal
// edge reads as 0 where denormals are zero).
TEST(MotifBounds, BoxEdgesHoldTheirValue) {
  for (const double x : {0.0, 3e-40, -3e-40, 1e-45, double{FLT_MIN},
                         -double{FLT_MIN}, 1.0 + 1e-12, -1.0 - 1e-12, 3.4e38,
                         1e39, -1e39, double{INFINITY}, -double{INFINITY}}) {
    const float low = morvel::detail::float_below(x);
    const float high = morvel::detail::float_above(x);
    EXPECT_TRUE(low <= x && x <= high) << x;
    EXPECT_NE(std::fpclassify(low), FP_SUBNORMAL) << x;
    EXPECT_NE(std::fpclassify(high), FP_SUBNORMAL) << x;
  }
}

// The floats' limit exceeds (sqrt(limit) + sqrt(s w) R)^2, R the most two
// floats' rounding adds to a segment's gap and s the slack's sum factor,
// computed wider than double.
TEST(MotifBounds, EstimatesLimitCoversTheFloats) {
  if (LDBL_MANT_DIG < 64)
    GTEST_SKIP() << "long double is no wider than double here";
  for (const std::int64_t w : {1, 16, 1024})
    for (const double largest : {0.0, 0x1p-149, double{FLT_MIN}, 1.0, 1e30})
      for (const double limit : {0.0, 1e-300, 0.37, 1e300}) {
        const long double u = 0x1p-53L;
        const long double s = 1.0L + 2.0L * static_cast<long double>(w + 8) * u;
        const long double rounding =
            0x1p-23L * (1.0L + 0x1p-24L) * largest + 2.0L * FLT_MIN;
        const long double reach =
            std::sqrt(static_cast<long double>(limit)) +
            std::sqrt(s * static_cast<long double>(w)) * rounding;
        EXPECT_GE(static_cast<long double>(
                      morvel::detail::estimates_limit(limit, w, largest)),
                  reach * reach)
            << w << " " << largest << " " << limit;
      }
}

// Every kernel's division-free bound of two regular windows is at least
// their defined distance: windows equal in shape (where the bound's added
// term is all there is), near-equal, far apart, spiked, offset to 1e150
// and scaled to 2^-500.
TEST(JoinBounds, AboveTheDefinedDistance) {
  std::mt19937_64 random(5);
  std::normal_distribution<double> normal;
  for (const std::int64_t n : {3, 17, 64})
    for (int trial = 0; trial < 400; ++trial) {
      const double scale = trial % 3 == 0   ? 1.0
                           : trial % 3 == 1 ? 0x1p-500
                                            : 1e147;
      const double offset = trial % 3 == 2 ? 1e150 : 0.0;
      std::vector<double> x(n), y(n);
      double walk = 0.0;
      for (std::int64_t i = 0; i < n; ++i) {
        walk += normal(random);
        x[i] = offset + scale * walk;
        y[i] = trial % 4 == 0   ? 3.0 * x[i] - offset
               : trial % 4 == 1 ? x[i] + scale * 1e-9 * normal(random)
                                : offset + scale * normal(random);
      }
      if (trial % 5 == 0)
        y[n / 2] += 30.0 * scale;
      const morvel::detail::Feeds feeds = morvel::detail::segment_feeds(n, 1);
      morvel::detail::Summary sx, sy;
      double mean;
      const double *px = x.data(), *py = y.data();
      morvel::detail::summarise<1>(&px, n, 1, feeds, &sx, &mean);
      morvel::detail::summarise<1>(&py, n, 1, feeds, &sy, &mean);
      if (sx.kind != morvel::detail::WindowKind::regular ||
          sy.kind != morvel::detail::WindowKind::regular)
        continue;
      std::vector<double> defined(n), scaled(n);
      for (std::int64_t i = 0; i < n; ++i) {
        defined[i] = (x[i] - sx.mean) / sx.deviation;
        scaled[i] = (x[i] - sx.mean) * (1.0 / sx.deviation);
      }
      bool abandoned = false;
      const double distance =
          morvel::detail::window_distance(y.data(), n, sy.mean, sy.deviation,
                                          defined.data(), INFINITY, abandoned);
      for (const morvel::InstructionSet set :
           morvel::usable_instruction_sets()) {
        const double squares = morvel::detail::kernels_of(set).scaled_squares(
            scaled.data(), y.data(), n, sy.mean, 1.0 / sy.deviation, INFINITY);
        EXPECT_GE(morvel::detail::distance_above(std::sqrt(squares), n),
                  distance)
            << morvel::instruction_set_name(set) << " n " << n << " trial "
            << trial;
      }
    }
}

// Series the sweep leaves to the search: windows one value apart only.
TEST(ProfileSweep, StridesAreSearched) {
  const std::vector<double> ts = series("walk", 2000);
  const morvel::IndexShape shape = morvel::plan_index(2000, 64, 3, 16);
  const morvel::BuiltIndex index =
      morvel::build_index(shape, ts.data(), 1, nullptr);
  std::vector<double> d(static_cast<std::size_t>(shape.count));
  std::vector<std::int64_t> at(d.size());
  morvel::SearchStats stats;
  EXPECT_FALSE(morvel::detail::sweep_profile(shape, index.tables(), ts.data(),
                                             16, 1, nullptr, d.data(),
                                             at.data(), stats));
}

// Every instruction set's kernel writes the same bits as the portable one
// (each lane's operations are the same, in the same order).
TEST(ProfileSweep, KernelsAgree) {
  const std::int32_t n = 40, rows = 37, diagonals = 70;
  std::mt19937_64 random(7);
  std::normal_distribution<double> normal;
  const auto run = [&](const morvel::detail::Kernels &kernels) {
    const std::int64_t width = kernels.profile_width;
    const std::int64_t columns = rows + diagonals - 1;
    // Lane l holds what lane l % 2 of the portable kernel's two holds.
    random.seed(7);
    const auto filled = [&](std::int64_t slots, bool nan_sometimes) {
      std::vector<double> base(static_cast<std::size_t>(slots * 2));
      for (double &x : base) {
        const double draw = normal(random);
        x = nan_sometimes && draw > 2.0 ? std::nan("") : draw;
      }
      std::vector<double> v(static_cast<std::size_t>(slots * width));
      for (std::int64_t p = 0; p < slots; ++p)
        for (std::int64_t l = 0; l < width; ++l)
          v[static_cast<std::size_t>(p * width + l)] =
              base[static_cast<std::size_t>(p * 2 + l % 2)];
      return v;
    };
    const std::vector<double> row_values = filled(rows + n - 1, false),
                              row_sums = filled(rows, false),
                              row_scales = filled(rows, true),
                              column_values = filled(columns + n - 1, false),
                              column_means = filled(columns, false),
                              column_scales = filled(columns, true);
    std::vector<double> products(static_cast<std::size_t>(diagonals * width));
    std::vector<double> out[6];
    for (int o = 0; o < 6; ++o)
      out[o].assign(static_cast<std::size_t>((o < 3 ? rows : columns) * width),
                    o % 3 == 2 ? -1.0 : -INFINITY);
    const double start = 1e-9;
    const morvel::detail::ProfileArgs args{n,
                                           rows,
                                           diagonals,
                                           row_values.data(),
                                           row_sums.data(),
                                           row_scales.data(),
                                           column_values.data(),
                                           column_means.data(),
                                           column_scales.data(),
                                           &start,
                                           products.data(),
                                           out[0].data(),
                                           out[1].data(),
                                           out[2].data(),
                                           out[3].data(),
                                           out[4].data(),
                                           out[5].data()};
    kernels.profile(args);
    // Lanes 0 and 1 only: the numbers every width shares.
    std::vector<double> kept;
    for (int o = 0; o < 6; ++o)
      for (std::size_t i = 0; i < out[o].size(); ++i)
        if (i % static_cast<std::size_t>(width) < 2)
          kept.push_back(out[o][i]);
    return kept;
  };
  const std::vector<double> portable =
      run(morvel::detail::kernels_of(morvel::InstructionSet::portable));
  for (const morvel::InstructionSet set : morvel::usable_instruction_sets()) {
    const std::vector<double> other = run(morvel::detail::kernels_of(set));
    ASSERT_EQ(other.size(), portable.size());
    EXPECT_EQ(std::memcmp(other.data(), portable.data(),
                          other.size() * sizeof(double)),
              0)
        << morvel::instruction_set_name(set);
  }
}

} // namespace
