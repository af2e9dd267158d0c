#include <morvel/morvel.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string word(const morvel::Word &row) { return {row.begin(), row.end()}; }

struct Letter {
  double mean;
  std::int32_t alpha;
  char expected;
};

class LetterFor : public ::testing::TestWithParam<Letter> {};

TEST_P(LetterFor, FindsTheUpperBound) {
  const Letter &c = GetParam();
  EXPECT_EQ(morvel::letter_for(c.mean, c.alpha), c.expected)
      << c.mean << " with alpha " << c.alpha;
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Sax, LetterFor,
    ::testing::Values(
        Letter{0.0, 4, 'c'}, Letter{0.0, 2, 'b'}, Letter{-1e-300, 2, 'a'},
        Letter{0.43072729929545744, 3, 'c'}, // a tie takes the higher letter
        Letter{0.4307272992954574, 3, 'b'},
        Letter{-0.43072729929545756, 3, 'b'}, Letter{nan, 4, 'd'},
        Letter{nan, 24, 'x'}, Letter{nan, 1, 'a'}, Letter{nan, 0, 'a'},
        Letter{-inf, 24, 'a'}, Letter{inf, 24, 'x'}, Letter{inf, 1, 'a'},
        Letter{-0.8944271909999159, 4, 'a'},
        Letter{0.894427190999916, 4, 'd'}));

TEST(Sax, IncreasingWindowWordsForEachAlphabet) {
  const std::vector<double> ts{1, 2, 3, 4, 5, 6};
  const std::vector<std::pair<std::int32_t, std::string>> expected{
      {0, "aaaaaa"},
      {1, "aaaaaa"},
      {2, "aaabbb"},
      {3, "aabbcc"},
      {24, "bejotw"}};
  for (const auto &[alpha, letters] : expected) {
    const auto rows = morvel::sax(ts, 6, 1, 6, alpha);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(word(rows[0]), letters) << "alpha " << alpha;
  }
}

TEST(Sax, UnreportedSegmentsKeepTheirNulFill) {
  const auto rows = morvel::sax({}, 0, 1, 3, 4);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (morvel::Word{'\0', '\0', '\0'}));
  EXPECT_EQ(word(morvel::sax({2, 2, 2, 2}, 4, 1, 2, 4)[0]), "dd");
  EXPECT_EQ(word(morvel::sax({0.1, 0.1, 0.1}, 3, 1, 3, 4)[0]), "aaa");
}

TEST(Sax, RefusesAlphabetsWithoutARow) {
  for (std::int32_t alpha :
       {-1, 25, std::numeric_limits<std::int32_t>::min()}) {
    EXPECT_FALSE(morvel::valid_alphabet(alpha));
    EXPECT_THROW(morvel::sax({1, 2, 3}, 0, 1, 0, alpha), std::invalid_argument);
  }
  EXPECT_THROW(morvel::sax({1, 2, 3}, 2, 1, -1, 4), std::length_error);
}

TEST(Sax, EveryBreakpointIsATieWonByTheHigherLetter) {
  for (std::int32_t alpha = 2; alpha <= morvel::max_alphabet; ++alpha) {
    const auto row = morvel::breakpoints(alpha);
    for (std::int32_t k = 0; k < row.size; ++k) {
      const double cut = row.values[k];
      const double below = std::nextafter(cut, -inf);
      EXPECT_EQ(morvel::letter_for(cut, alpha), 'a' + k + 1)
          << alpha << "/" << k;
      EXPECT_EQ(morvel::letter_for(below, alpha), 'a' + k) << alpha << "/" << k;
    }
  }
}

} // namespace
