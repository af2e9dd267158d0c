// Every compiled instruction set and every layout against the serial
// reference, bit for bit, and a plan's memory against what running it
// allocates.
#include <morvel/morvel.hpp>
#include <morvel/plan.hpp>
#include <morvel/reference.hpp>

#include "grid.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using morvel::Execution;
using morvel::InstructionSet;
using morvel::Layout;
using morvel::Letters;

std::atomic<bool> counting{false};
std::atomic<std::size_t> counted{0};

template <typename Call> std::size_t allocated_by(Call call) {
  counted = 0;
  counting = true;
  call();
  counting = false;
  return counted;
}

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

struct Case {
  std::size_t length;
  std::int32_t window, stride, w;
};

std::string describe(const Case &s) {
  return "N=" + std::to_string(s.length) +
         " window=" + std::to_string(s.window) +
         " stride=" + std::to_string(s.stride) + " w=" + std::to_string(s.w);
}

const Case cases[] = {
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
    for (const Case &shape : cases) {
      const auto ts =
          series(static_cast<std::uint32_t>(shape.length), shape.length, spiky);
      const auto expected =
          morvel::paa_reference(ts, shape.window, shape.stride, shape.w);
      const auto grid = morvel::testing::paa_grid(
          ts.data(), ts.size(), shape.window, shape.stride, shape.w, set);
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
  for (const Case &shape : cases) {
    const auto ts =
        series(7u + static_cast<std::uint32_t>(shape.w), shape.length, true);
    for (std::int32_t alpha : {0, 2, 3, 4, 9, 24}) {
      const auto expected =
          morvel::sax_reference(ts, shape.window, shape.stride, shape.w, alpha);
      for (const Letters letters : {Letters::walked, Letters::certified}) {
        const auto grid = morvel::testing::sax_grid(
            ts.data(), ts.size(), shape.window, shape.stride, shape.w, alpha,
            {set.set, set.layout, letters});
        ASSERT_EQ(grid.rows, expected.size());
        for (std::size_t i = 0; i < grid.rows; ++i)
          ASSERT_EQ(morvel::testing::row_text(grid, i),
                    std::string(expected[i].begin(), expected[i].end()))
              << describe(shape) << " alpha=" << alpha << " row " << i << " "
              << morvel::letters_name(letters);
      }
    }
  }
}

TEST_P(EveryKernel, EmptyShapesKeepTheirFill) {
  const Execution set = how();
  const std::vector<double> ts{1, 2, 3, 4};
  const auto zero_window =
      morvel::testing::sax_grid(ts.data(), ts.size(), 0, 2, 3, 4, set);
  EXPECT_EQ(zero_window.rows, 3u);
  EXPECT_EQ(zero_window.cells, std::vector<char>(9, '\0'));
  const auto no_segments =
      morvel::testing::paa_grid(ts.data(), ts.size(), 2, 1, 0, set);
  EXPECT_EQ(no_segments.rows, 3u);
  EXPECT_TRUE(no_segments.cells.empty());
  EXPECT_THROW(morvel::testing::paa_grid(ts.data(), ts.size(), -1, 1, 2, set),
               std::length_error);
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, EveryKernel,
    ::testing::Combine(::testing::ValuesIn(morvel::usable_instruction_sets()),
                       ::testing::Values(Layout::automatic, Layout::windows,
                                         Layout::segments, Layout::serial)),
    [](const auto &info) {
      return name(std::get<0>(info.param), std::get<1>(info.param));
    });

// What run() allocates, counted by the replaced global allocation functions
// below while `counting` is set.
TEST(Plans, RunAllocatesExactlyThePlansWorkingMemory) {
  std::vector<double> ts(30000);
  for (std::size_t i = 0; i < ts.size(); ++i)
    ts[i] = std::sin(0.01 * static_cast<double>(i));
  const Case calls[] = {{16, 16, 1, 4},         {30000, 128, 1, 15},
                        {30000, 1000, 100, 10}, {30000, 30000, 1, 1},
                        {30000, 20000, 1, 20},  {100, 5, 1, 3000},
                        {30000, 0, 7, 40},      {30000, 64, 3, 0}};
  for (const InstructionSet set : morvel::usable_instruction_sets())
    for (const Layout layout :
         {Layout::automatic, Layout::windows, Layout::segments, Layout::serial})
      for (const Case &call : calls) {
        const Execution how{set, layout};
        const auto paa = morvel::plan_paa(call.length, call.window, call.stride,
                                          call.w, how);
        const auto sax =
            morvel::plan_sax(call.length, call.window, call.stride, call.w, 4,
                             {set, layout,
                              layout == Layout::serial ? Letters::certified
                                                       : Letters::automatic});
        const std::size_t paa_bytes = allocated_by([&] {
          morvel::run(paa, ts.data(),
                      [](std::size_t, std::size_t, const double *) {});
        });
        const std::size_t sax_bytes = allocated_by([&] {
          morvel::run(sax, ts.data(),
                      [](std::size_t, std::size_t, const char *) {});
        });
        EXPECT_EQ(paa_bytes, paa.working_bytes) << describe(call);
        EXPECT_EQ(sax_bytes, sax.working_bytes) << describe(call);
      }
}

TEST(Plans, WorkingMemoryDoesNotGrowWithTheWindows) {
  // Small calls need none beyond the stack; a tile of windows costs its
  // rows of cells plus, for strided windows, a lane-major copy, however
  // many windows follow.
  EXPECT_EQ(morvel::plan_paa(16, 16, 1, 4).working_bytes, 0u);
  const std::size_t headline =
      morvel::plan_paa(100000, 128, 1, 15).workspace.bytes;
  EXPECT_EQ(morvel::plan_paa(1000000, 128, 1, 15).workspace.bytes, headline);
  EXPECT_LT(headline, std::size_t{16} << 10);
  // Huge w with one window: the tile is that row, nothing grows with w*n.
  const std::int32_t row = 20000000;
  const std::size_t bytes = morvel::plan_sax(5, 5, 1, row, 4).working_bytes;
  EXPECT_GE(bytes, std::size_t{row});
  EXPECT_LT(bytes, row + (std::size_t{16} << 10));
}

} // namespace

// Every allocation of this program goes through these, so that the bytes a
// call asks for can be counted.
namespace {
void *counted_allocation(std::size_t size) noexcept {
  if (counting)
    counted += size;
  return std::malloc(size == 0 ? 1 : size);
}
void *throwing_allocation(std::size_t size) {
  if (void *p = counted_allocation(size))
    return p;
  throw std::bad_alloc();
}
} // namespace

void *operator new(std::size_t size) { return throwing_allocation(size); }
void *operator new[](std::size_t size) { return throwing_allocation(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  return counted_allocation(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  return counted_allocation(size);
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
