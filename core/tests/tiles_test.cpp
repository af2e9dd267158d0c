// Every compiled instruction set and every layout against the serial
// reference, bit for bit.
#include <morvel/morvel.hpp>
#include <morvel/tiles.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using morvel::Execution;
using morvel::InstructionSet;
using morvel::Layout;

// Equal bits, or both NaN.
bool same(double a, double b) {
  if (std::isnan(a) && std::isnan(b))
    return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<double> series(std::uint32_t seed, std::size_t length, bool spiky) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> step(0.0, 1.0);
  std::uniform_int_distribution<int> pick(0, 60);
  std::vector<double> ts(length);
  double level = 0.0;
  for (double &value : ts) {
    level += step(rng);
    value = level;
    if (!spiky)
      continue;
    switch (pick(rng)) {
    case 0:
      value = std::numeric_limits<double>::quiet_NaN();
      break;
    case 1:
      value = std::numeric_limits<double>::infinity();
      break;
    case 2:
      value = -1e308;
      break;
    case 3:
      value = 0.1;
      break;
    default:
      break;
    }
  }
  return ts;
}

struct Shape {
  std::size_t length;
  std::int32_t window, stride, w;
};

std::string describe(const Shape &s) {
  return "N=" + std::to_string(s.length) +
         " window=" + std::to_string(s.window) +
         " stride=" + std::to_string(s.stride) + " w=" + std::to_string(s.w);
}

const Shape shapes[] = {
    {300, 16, 1, 4},      {300, 128, 1, 15},  {257, 7, 1, 3},
    {500, 64, 3, 16},     {200, 16, 1, 64},   {100, 5, 2, 7},
    {40, 40, 1, 40},      {33, 1, 1, 3},      {90, 10, -3, 4},
    {1000, 250, 7, 20},   {64, 3, 1, 8},      {31, 31, 5, 1},
    {130, 2, 1, 5},       {71, 9, 4, 9},      {16, 16, 1, 4},
    {128, 128, 1, 15},    {5, 5, 1, 300},     {3, 3, 1, 1000},
    {60, 50, 1, 37},      {1000, 1000, 1, 1}, {97, 90, 1, 6},
    {20000, 20000, 1, 3}, {5200, 5000, 6, 2}, {2000, 13, 1, 12},
    {45, 12, 1, 5},       {80, 7, 2, 7},      {40, 39, 1, 40},
    {6, 6, 1, 1},
};

std::string name(InstructionSet set, Layout layout) {
  return std::string(morvel::instruction_set_name(set)) + "_" +
         morvel::layout_name(layout);
}

class EveryKernel
    : public ::testing::TestWithParam<std::tuple<InstructionSet, Layout>> {
protected:
  Execution how() const {
    return {std::get<0>(GetParam()), std::get<1>(GetParam())};
  }
};

TEST_P(EveryKernel, PaaMatchesTheReference) {
  const Execution set = how();
  for (const bool spiky : {false, true}) {
    for (const Shape &shape : shapes) {
      const auto ts =
          series(static_cast<std::uint32_t>(shape.length), shape.length, spiky);
      const auto expected =
          morvel::paa_reference(ts, shape.window, shape.stride, shape.w);
      const auto grid = morvel::paa_grid(ts.data(), ts.size(), shape.window,
                                         shape.stride, shape.w, set);
      ASSERT_EQ(grid.rows, expected.size()) << describe(shape);
      ASSERT_EQ(grid.columns, static_cast<std::size_t>(shape.w));
      std::size_t mismatches = 0;
      for (std::size_t i = 0; i < grid.rows; ++i)
        for (std::size_t j = 0; j < grid.columns; ++j)
          mismatches += !same(grid.cells[i * grid.columns + j], expected[i][j]);
      EXPECT_EQ(mismatches, 0u) << describe(shape) << (spiky ? " spiky" : "");
    }
  }
}

TEST_P(EveryKernel, SaxMatchesTheReference) {
  const Execution set = how();
  for (const Shape &shape : shapes) {
    const auto ts =
        series(7u + static_cast<std::uint32_t>(shape.w), shape.length, true);
    for (std::int32_t alpha : {0, 2, 3, 4, 9, 24}) {
      const auto expected =
          morvel::sax_reference(ts, shape.window, shape.stride, shape.w, alpha);
      const auto grid = morvel::sax_grid(ts.data(), ts.size(), shape.window,
                                         shape.stride, shape.w, alpha, set);
      ASSERT_EQ(grid.rows, expected.size());
      for (std::size_t i = 0; i < grid.rows; ++i)
        ASSERT_EQ(std::string(grid.cells.begin() +
                                  static_cast<std::ptrdiff_t>(i * grid.columns),
                              grid.cells.begin() + static_cast<std::ptrdiff_t>(
                                                       (i + 1) * grid.columns)),
                  std::string(expected[i].begin(), expected[i].end()))
            << describe(shape) << " alpha=" << alpha << " row " << i;
    }
  }
}

TEST_P(EveryKernel, EmptyShapesKeepTheirFill) {
  const Execution set = how();
  const std::vector<double> ts{1, 2, 3, 4};
  const auto zero_window =
      morvel::sax_grid(ts.data(), ts.size(), 0, 2, 3, 4, set);
  EXPECT_EQ(zero_window.rows, 3u);
  EXPECT_EQ(zero_window.cells, std::vector<char>(9, '\0'));
  const auto no_segments = morvel::paa_grid(ts.data(), ts.size(), 2, 1, 0, set);
  EXPECT_EQ(no_segments.rows, 3u);
  EXPECT_TRUE(no_segments.cells.empty());
  EXPECT_THROW(morvel::paa_grid(ts.data(), ts.size(), -1, 1, 2, set),
               std::length_error);
}

INSTANTIATE_TEST_SUITE_P(
    Tiles, EveryKernel,
    ::testing::Combine(::testing::ValuesIn(morvel::usable_instruction_sets()),
                       ::testing::Values(Layout::automatic, Layout::windows,
                                         Layout::segments, Layout::serial)),
    [](const auto &info) {
      return name(std::get<0>(info.param), std::get<1>(info.param));
    });

TEST(Tiles, WorkingMemoryIsWhatTheCallAllocates) {
  // Small calls need none beyond the stack; a tile of windows costs its
  // rows of cells plus, for strided windows, a lane-major copy. On the
  // portable kernel, which every build has: 16 lanes.
  EXPECT_EQ(morvel::working_bytes({1, 4}, 16, 1, 8), 0u);
  const morvel::Execution portable{InstructionSet::portable};
  const std::size_t tile = 16 * 15 * 8;
  const std::size_t headline =
      morvel::working_bytes({99873, 15}, 128, 1, 8, portable);
  EXPECT_GE(headline, tile);
  EXPECT_LT(headline, std::size_t{16} << 10);
  // Ten times the windows, the same memory.
  EXPECT_EQ(morvel::working_bytes({998721, 15}, 128, 1, 8, portable), headline);
  EXPECT_GE(morvel::working_bytes({9991, 10}, 1000, 100, 8, portable),
            16 * 10 * 8 + 1000 * 16 * 8);
  // Huge w with one window: the tile is that row, nothing grows with w*n.
  const std::size_t row = 20000000;
  EXPECT_GE(morvel::working_bytes({1, row}, 5, 1, 1), row);
  EXPECT_LT(morvel::working_bytes({1, row}, 5, 1, 1),
            row + (std::size_t{16} << 10));
}

TEST(Tiles, BestInstructionSetIsUsable) {
  const auto usable = morvel::usable_instruction_sets();
  EXPECT_EQ(usable.front(), InstructionSet::portable);
  EXPECT_EQ(usable.back(), morvel::best_instruction_set());
}

} // namespace
