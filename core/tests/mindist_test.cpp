// The distance between words: worked cells, broadcasting, and the two ways
// of adding (one word tabled against many, or pair by pair) giving the
// same bits.
#include <morvel/mindist.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using morvel::WordArray;

WordArray letters(const std::string &text, std::vector<std::size_t> shape) {
  WordArray words;
  words.data = text.data();
  words.shape = shape;
  words.strides.assign(shape.size(), 1);
  for (std::size_t k = shape.size() - 1; k-- > 0;)
    words.strides[k] =
        words.strides[k + 1] * static_cast<std::ptrdiff_t>(shape[k + 1]);
  return words;
}

std::vector<double> distances(const WordArray &a, const WordArray &b,
                              std::int32_t window, std::int32_t alpha) {
  const morvel::DistancePlan plan = morvel::plan_mindist(a, b, window, alpha);
  std::vector<double> out(plan.count);
  morvel::mindist(plan, a, b, out.data());
  return out;
}

TEST(Mindist, WorkedCells) {
  // alpha 4: beta = -0.674..., 0, 0.674...; 'a' and 'c' are one region
  // apart (cell 0.674...), 'a' and 'd' two (cell 1.348...):
  // sqrt(8 / 4) * sqrt(0.674...^2 + 1.348...^2) = 2.1329...
  EXPECT_EQ(distances(letters("aaab", {4}), letters("bcda", {4}), 8, 4),
            std::vector<double>{2.13292386905762});
}

TEST(Mindist, MeansInsideTheirLettersAreAtZero) {
  const double means[] = {-0.7, -0.6744897501960817, 0.0, 5.0};
  WordArray a{means, true, {4}, {8}};
  EXPECT_EQ(distances(a, letters("abcd", {4}), 16, 4),
            std::vector<double>{0.0});
}

TEST(Mindist, TabledAndPairwiseAddTheSameBits) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> letter(0, 9);
  std::string many(1000 * 13, 'a');
  for (char &c : many)
    c = static_cast<char>('a' + letter(rng));
  const std::string one = many.substr(13 * 5, 13);
  // (1000,) against one word takes the table; (1000, 1) against (1, 1)
  // broadcasts the one word on an outer axis and adds pair by pair.
  const auto tabled =
      distances(letters(one, {13}), letters(many, {1000, 13}), 40, 10);
  const auto pairwise =
      distances(letters(one, {1, 1, 13}), letters(many, {1000, 1, 13}), 40, 10);
  ASSERT_EQ(tabled.size(), 1000u);
  EXPECT_EQ(0, std::memcmp(tabled.data(), pairwise.data(), 8000));
  EXPECT_EQ(tabled[5], 0.0);
}

TEST(Mindist, Broadcasts) {
  // a (2, 1) words against b (4,) words: every pair, in C order.
  const std::string a = "abdc";
  const std::string b = "aaddbbcc";
  const auto out = distances(letters(a, {2, 1, 2}), letters(b, {4, 2}), 2, 4);
  ASSERT_EQ(out.size(), 8u);
  for (std::size_t i = 0; i < 2; ++i)
    for (std::size_t j = 0; j < 4; ++j)
      EXPECT_EQ(out[i * 4 + j],
                distances(letters(a.substr(2 * i, 2), {2}),
                          letters(b.substr(2 * j, 2), {2}), 2, 4)[0])
          << i << ", " << j;
}

TEST(Mindist, Refusals) {
  const std::string word = "abcd";
  const auto refused = [&](const WordArray &a, const WordArray &b,
                           std::int32_t window, std::int32_t alpha,
                           const std::string &text) {
    try {
      distances(a, b, window, alpha);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::invalid_argument &error) {
      EXPECT_NE(std::string(error.what()).find(text), std::string::npos)
          << error.what();
    }
  };
  refused(letters(word, {4}), letters(word, {4}), 0, 4,
          "window must be positive");
  refused(letters(word, {4}), letters(word, {4}), 4, 25, "alpha must be");
  refused(letters(word, {4}), letters(word, {2, 2}), 4, 4, "different lengths");
  refused(letters("abcdabcdabcd", {3, 4}), letters("abcdabcd", {2, 4}), 4, 4,
          "cannot be broadcast");
  refused(letters(word, {4}), letters(word, {4}), 4, 3, "b'd' is not a letter");
  refused(letters(std::string(4, '\0'), {4}), letters(word, {4}), 4, 4,
          "b'\\x00'");
}

} // namespace
