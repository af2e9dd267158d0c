// One window of 2^31 - 1 values, the longest a call can ask for, on every
// instruction set: every position that walks it must count past the 32-bit
// range without wrapping. The series is a read-only anonymous mapping, so
// its 16 GiB are one page of zeros and cost no memory.
#include <morvel/plan.hpp>

#include "grid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define MORVEL_HAVE_MMAP 1
#endif

namespace {

TEST(LongWindow, EveryLayoutWalksTwoToTheThirtyOneValues) {
#if defined(MORVEL_HAVE_MMAP)
  constexpr std::int32_t n = INT32_MAX;
  const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(double);
  void *zeros = mmap(nullptr, bytes, PROT_READ,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (zeros == MAP_FAILED)
    GTEST_SKIP() << "no room for a 16 GiB mapping";
  const auto *ts = static_cast<const double *>(zeros);
  // A constant window: 0/0, so NaN, whatever the layout.
  const auto serial = morvel::testing::paa_grid(
      ts, n, n, 1, 1, {morvel::best_instruction_set(), morvel::Layout::serial});
  ASSERT_EQ(serial.cells.size(), 1u);
  EXPECT_TRUE(std::isnan(serial.cells[0]));
  for (const auto set : morvel::usable_instruction_sets()) {
    const auto segments = morvel::testing::paa_grid(
        ts, n, n, 1, 1, {set, morvel::Layout::segments});
    ASSERT_EQ(segments.cells.size(), 1u);
    EXPECT_TRUE(std::isnan(segments.cells[0]))
        << morvel::instruction_set_name(set);
  }
  munmap(zeros, bytes);
#else
  GTEST_SKIP() << "needs an anonymous mapping";
#endif
}

} // namespace
