#include <morvel/morvel.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::uint64_t bits(double value) {
  std::uint64_t out;
  std::memcpy(&out, &value, sizeof out);
  return out;
}

std::vector<double> row(std::int32_t alpha) {
  const auto r = morvel::breakpoints(alpha);
  return {r.begin(), r.end()};
}

TEST(Breakpoints, EveryRowHasAlphaMinusOneAscendingEntries) {
  for (std::int32_t alpha = 0; alpha <= morvel::max_alphabet; ++alpha) {
    const auto values = row(alpha);
    EXPECT_EQ(values.size(),
              static_cast<std::size_t>(alpha < 2 ? 0 : alpha - 1))
        << "alpha " << alpha;
    for (std::size_t i = 1; i < values.size(); ++i)
      EXPECT_LT(values[i - 1], values[i]) << "alpha " << alpha;
  }
}

TEST(Breakpoints, EvenAlphabetsHaveExactZeroInTheMiddle) {
  for (std::int32_t alpha = 2; alpha <= morvel::max_alphabet; alpha += 2) {
    const auto values = row(alpha);
    EXPECT_EQ(bits(values[static_cast<std::size_t>(alpha / 2 - 1)]), 0u)
        << "alpha " << alpha;
  }
}

TEST(Breakpoints, CarryTheExactConstants) {
  // Not symmetric, and not the correctly rounded +-0.4307272992954575.
  EXPECT_EQ(row(3),
            (std::vector<double>{-0.43072729929545756, 0.43072729929545744}));
  EXPECT_EQ(bits(row(3)[0]), 0xBFDB91093BFDFA2Bu);
  EXPECT_EQ(row(4), (std::vector<double>{-0.6744897501960817, 0.0,
                                         0.6744897501960817}));
  EXPECT_EQ(row(24).front(), -1.731664396122245);
  EXPECT_EQ(row(24).back(), 1.7316643961222453);
  EXPECT_EQ(row(23)[19], 1.1243382315686385);
  EXPECT_EQ(row(7)[3], 0.18001236979270496);
}

} // namespace
