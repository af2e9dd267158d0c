#include <morvel/morvel.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

TEST(Znormalise, PointOneTripletIsExactlyMinusOne) {
  std::vector<double> buffer{0.1, 0.1, 0.1};
  morvel::znormalise(buffer, 3);
  for (double value : buffer)
    EXPECT_EQ(value, -1.0);
}

TEST(Znormalise, ConstantWindowWithExactMeanIsNan) {
  std::vector<double> buffer{5.0, 5.0, 5.0, 5.0};
  morvel::znormalise(buffer, 4);
  for (double value : buffer)
    EXPECT_TRUE(std::isnan(value));
}

TEST(Znormalise, DividesByTheDeviationRatherThanMultiplyingByItsInverse) {
  std::vector<double> buffer{1, 2, 3, 4};
  morvel::znormalise(buffer, 4);
  EXPECT_EQ(buffer,
            (std::vector<double>{-1.3416407864998738, -0.4472135954999579,
                                 0.4472135954999579, 1.3416407864998738}));
}

TEST(Znormalise, TouchesOnlyTheFirstNValues) {
  std::vector<double> buffer{1, 3, 99};
  morvel::znormalise(buffer, 2);
  EXPECT_EQ(buffer, (std::vector<double>{-1.0, 1.0, 99.0}));
}

struct Count {
  std::size_t length;
  std::int32_t window;
  std::int32_t stride;
  std::int32_t expected;
};

class WindowCount : public ::testing::TestWithParam<Count> {};

TEST_P(WindowCount, FollowsTheUnsignedFormula) {
  const Count &c = GetParam();
  EXPECT_EQ(morvel::window_count(c.length, c.window, c.stride), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paa, WindowCount,
    ::testing::Values(Count{6, 4, 2, 2}, Count{6, 6, 1, 1}, Count{6, 4, 5, 1},
                      Count{0, 0, 1, 1}, Count{10, 0, 3, 4},
                      Count{6, 2, -1, 1},           // huge unsigned divisor
                      Count{5, 6, 1, 0},            // wraps to zero
                      Count{5, 7, 2, 0},            // 2^63 keeps no low bits
                      Count{5, 7, 1, -1},           // negative: refused later
                      Count{5, 7, 3, 0x55555555})); // outside the domain

TEST(Domain, RefusesZeroStrideAndWindowsPastTheEnd) {
  EXPECT_FALSE(morvel::within_domain(10, 3, 0));
  EXPECT_FALSE(morvel::within_domain(5, 7, 3));
  EXPECT_TRUE(morvel::within_domain(5, 7, 2));
  EXPECT_TRUE(morvel::within_domain(5, 7, 1));
  EXPECT_TRUE(morvel::within_domain(5, -1, 1));
  EXPECT_TRUE(morvel::within_domain(5, 5, -4));
  EXPECT_THROW(morvel::paa({1, 2, 3, 4, 5}, 7, 3, 2), std::invalid_argument);
  EXPECT_THROW(morvel::paa({1, 2}, 1, 0, 2), std::invalid_argument);
}

TEST(Paa, WorkedExamples) {
  const auto rows = morvel::paa({1, 2, 3, 4, 5, 6}, 4, 2, 2);
  const std::vector<double> expected{-0.8944271909999159, 0.894427190999916};
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], expected);
  EXPECT_EQ(rows[1], expected);
  EXPECT_EQ(morvel::paa({1, 2, 5}, 3, 1, 3),
            (morvel::Rows{{-0.98058067569092, -0.39223227027636803,
                           1.3728129459672882}}));
  EXPECT_EQ(morvel::paa({1, 2, 3, 4, 5}, 5, 1, 3),
            (morvel::Rows{{-1.131370849898476, 0.0, 1.131370849898476}}));
}

TEST(Paa, ZeroLengthWindowsKeepTheirFill) {
  EXPECT_EQ(morvel::paa({}, 0, 1, 3), (morvel::Rows{{0.0, 0.0, 0.0}}));
  EXPECT_EQ(morvel::paa({1, 2, 3, 4}, 0, 2, 1),
            (morvel::Rows{{0.0}, {0.0}, {0.0}}));
  EXPECT_EQ(morvel::paa({1, 2, 3}, 2, 1, 0), (morvel::Rows{{}, {}}));
}

void expect_too_long(const std::vector<double> &ts, std::int32_t window,
                     std::int32_t stride, std::int32_t w) {
  try {
    morvel::paa(ts, window, stride, w);
    ADD_FAILURE() << "no length error";
  } catch (const std::length_error &error) {
    EXPECT_EQ(std::string(error.what()), "vector too long");
  }
}

TEST(Paa, LengthErrors) {
  expect_too_long({1, 2, 3}, 2, 1, -1);
  expect_too_long({1, 2, 3, 4, 5}, 7, 1, 2);
  expect_too_long({1, 2, 3}, -1, 1, 2);
  expect_too_long({}, -1, 1, 0);
}

TEST(AllocationError, IsWordedAsTheSystemWordsIt) {
  const morvel::allocation_error error;
  const std::bad_alloc &base = error;
  EXPECT_EQ(std::string(base.what()), "bad allocation");
}

} // namespace
