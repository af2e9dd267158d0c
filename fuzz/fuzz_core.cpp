// Drives the core with arbitrary sizes and values, behind the argument checks
// the Python binding applies, and checks the tiled kernels against the
// serial reference, letters walked and certified. Input: window, stride, w,
// alpha as four little-endian 32-bit integers, then the series as raw doubles.
#include <morvel/morvel.hpp>
#include <morvel/plan.hpp>
#include <morvel/reference.hpp>

#include "grid.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

// The binding refuses results larger than memory; the fuzzer keeps to far
// smaller ones, and to bounded work, so that each input runs in well under
// a millisecond: still tiles of windows, strided copies and long segments.
constexpr double max_cells = 1 << 14;
constexpr double max_additions = 1 << 17;

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

[[noreturn]] void fail() {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_trap();
#else
  std::abort();
#endif
}

// The grid a kernel and layout computed against the reference's rows.
template <typename Rows, typename Grid>
void check(const Rows &expected, const Grid &got) {
  if (got.rows != expected.size())
    fail();
  for (std::size_t i = 0; i < got.rows; ++i) {
    if (expected[i].size() != got.columns)
      fail();
    for (std::size_t j = 0; j < got.columns; ++j) {
      const auto cell = got.cells[i * got.columns + j];
      if constexpr (std::is_same_v<decltype(cell), const double>) {
        if (!same(cell, expected[i][j]))
          fail();
      } else if (cell != expected[i][j]) {
        fail();
      }
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  std::int32_t header[4];
  if (size < sizeof header)
    return 0;
  std::memcpy(header, data, sizeof header);
  const auto [window, stride, w, alpha] = header;
  std::vector<double> ts((size - sizeof header) / sizeof(double));
  if (!ts.empty())
    std::memcpy(ts.data(), data + sizeof header, ts.size() * sizeof(double));

  // The binding's checks, in its order; what they refuse never reaches the
  // computation.
  morvel::Shape shape;
  try {
    shape = morvel::validate_call(ts.size(), window, stride, w, alpha);
  } catch (const std::invalid_argument &) {
    return 0;
  } catch (const std::length_error &) {
    return 0;
  }
  // The serial reference also makes a row of w cells when there is no window.
  if (static_cast<double>(shape.columns) > max_cells ||
      static_cast<double>(shape.rows) * static_cast<double>(shape.columns) >
          max_cells ||
      static_cast<double>(shape.rows) * window *
              static_cast<double>(shape.columns) >
          max_additions)
    return 0;

  // Past the checks nothing may throw: an exception ends the run as a crash.
  const auto paa = morvel::paa_reference(ts, window, stride, w);
  const auto sax = morvel::sax_reference(ts, window, stride, w, alpha);
  for (const auto set : morvel::usable_instruction_sets()) {
    for (const auto layout :
         {morvel::Layout::automatic, morvel::Layout::windows,
          morvel::Layout::segments, morvel::Layout::serial}) {
      const morvel::Execution how{set, layout};
      check(paa, morvel::testing::paa_grid(ts.data(), ts.size(), window, stride,
                                           w, how));
      for (const auto letters :
           {morvel::Letters::walked, morvel::Letters::certified})
        check(sax,
              morvel::testing::sax_grid(ts.data(), ts.size(), window, stride, w,
                                        alpha, {set, layout, letters}));
    }
  }
  return 0;
}
