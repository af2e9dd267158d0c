#include <morvel/morvel.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace {

using Reported = std::vector<std::pair<double, std::int32_t>>;

Reported segments(const std::vector<double> &values, std::int32_t n,
                  std::int32_t w) {
  Reported reported;
  morvel::paa_segments(values, n, w, [&](double mean, std::int32_t index) {
    reported.emplace_back(mean, index);
  });
  return reported;
}

std::vector<double> means(const Reported &reported) {
  std::vector<double> out;
  for (std::size_t i = 0; i < reported.size(); ++i) {
    EXPECT_EQ(reported[i].second, static_cast<std::int32_t>(i));
    out.push_back(reported[i].first);
  }
  return out;
}

struct Worked {
  std::vector<double> values;
  std::int32_t w;
  std::vector<double> expected;
};

class WorkedValues : public ::testing::TestWithParam<Worked> {};

TEST_P(WorkedValues, MatchBitForBit) {
  const Worked &c = GetParam();
  const auto got = means(
      segments(c.values, static_cast<std::int32_t>(c.values.size()), c.w));
  ASSERT_EQ(got.size(), c.expected.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(got[i], c.expected[i]) << "segment " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Paa, WorkedValues,
    ::testing::Values(
        Worked{{1, 2, 3, 4}, 2, {1.5, 3.5}},
        Worked{{1, 2, 3}, 2, {1.3333333333333333, 2.6666666666666665}},
        Worked{{1, 3}, 3, {1.0, 2.0, 3.0}},
        Worked{{1, 100}, 5, {1.0, 1.0, 50.5, 100.0, 100.0}},
        Worked{{7.25}, 1, {7.25}},
        // The stretched sum, not the plain mean of the two values.
        Worked{{-1.3416407864998738, -0.4472135954999579, 0.4472135954999579,
                1.3416407864998738},
               2,
               {-0.8944271909999159, 0.894427190999916}}));

TEST(PaaSegments, EmptyShapesReportNothing) {
  EXPECT_TRUE(segments({1, 2, 3}, 3, 0).empty());
  EXPECT_TRUE(segments({}, 0, 4).empty());
  EXPECT_TRUE(segments({}, 0, 0).empty());
}

TEST(PaaSegments, SnapsTinyMeansToPositiveZero) {
  for (double value : {-0.0, 5e-7, -9.9e-7, 1e-300}) {
    const auto got = means(segments({value}, 1, 1));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], 0.0);
    EXPECT_FALSE(std::signbit(got[0])) << value;
  }
  for (double value : {1e-6, -1e-6}) {
    const auto got = means(segments({value}, 1, 1));
    EXPECT_EQ(got[0], value);
  }
}

TEST(PaaSegments, NanPoisonsOnlyItsBlocks) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto got = means(segments({1, nan, 3, 4}, 4, 2));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(std::isnan(got[0]));
  EXPECT_EQ(got[1], 3.5);
}

TEST(PaaSegments, ProductBeyond32BitsStillReportsEverySegment) {
  // n*w = 3 * 2^30 exceeds the 32-bit range.
  const std::int32_t w = 1 << 30;
  std::int64_t calls = 0;
  double last = 0.0;
  morvel::paa_segments({2.0, 2.0, 2.0}, 3, w, [&](double mean, std::int32_t) {
    ++calls;
    last = mean;
  });
  EXPECT_EQ(calls, w);
  EXPECT_EQ(last, 2.0);
}

} // namespace
