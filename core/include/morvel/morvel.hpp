// morvel: sliding-window PAA and SAX over one time series.
//
// Every floating-point operation is rounded on its own, in the order stated
// beside each function; the library must be compiled with -ffp-contract=off
// and without any fast-math option, which the CMake target enforces.
#pragma once

#include "morvel/alphabet.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace morvel {

// Receives one segment mean and its index (0 ... w - 1).
using SegmentSink = std::function<void(double, std::int32_t)>;

using Series = std::vector<double>;
using Rows = std::vector<std::vector<double>>;

// Segment means whose magnitude is strictly below this are reported as +0.0.
inline constexpr double zero_snap_threshold = 1e-6;

// Memory exhaustion, worded as the rest of the system words it ("bad
// allocation") rather than as the standard library does.
class allocation_error : public std::bad_alloc {
public:
  const char *what() const noexcept override { return "bad allocation"; }
};

// Reduces values[0 .. n-1] to w segment means by stretching the window to
// n*w samples (each value repeated w times, added one at a time) and
// averaging blocks of n samples. Calls sink exactly w times, indices
// ascending, when n > 0 and w > 0, and never otherwise.
// Preconditions: values holds at least n elements. Throws only what the sink
// throws. Cost: n*w additions, w divisions, no allocation.
void paa_segments(const Series &values, std::int32_t n, std::int32_t w,
                  const SegmentSink &sink);

// Z-normalises buffer[0 .. n-1] in place with the population standard
// deviation and no guard against a zero deviation (IEEE arithmetic decides:
// 0/0 is NaN). Precondition: buffer holds at least n elements. Never throws.
// Cost: three passes over n values.
void znormalise(Series &buffer, std::int32_t n);

// Stores the w segment means of buffer[0 .. n-1] into row[0 .. w-1].
// Precondition: buffer holds n values and row holds w elements.
// Never throws. Cost: as paa_segments.
void paa_window(const Series &buffer, std::vector<double> &row, std::int32_t n,
                std::int32_t w);

// The number of windows: (N - window) / stride + 1 in unsigned 64-bit
// arithmetic with window and stride sign-extended, keeping the low 32 bits
// as a signed value. Precondition: stride != 0. Never throws. Cost: O(1).
std::int32_t window_count(std::size_t length, std::int32_t window,
                          std::int32_t stride);

// Whether the sliding-window transforms are defined for these arguments:
// stride != 0, and no window they would copy lies beyond the series.
// Never throws. Cost: O(1).
bool within_domain(std::size_t length, std::int32_t window,
                   std::int32_t stride);

// Throws std::invalid_argument, with a message naming the fault, when
// within_domain is false. Cost: O(1).
void check_domain(std::size_t length, std::int32_t window, std::int32_t stride);

// The size of a call's result: `rows` windows of `columns` cells each.
struct Shape {
  std::size_t rows = 0;
  std::size_t columns = 0;
};

// A shape as numpy writes it: "(33, 4)", "(132,)", "()". Cost: O(axes).
std::string shape_text(const std::vector<std::size_t> &shape);

// The one check of a sliding-window call, in the order the transforms make
// it, returning the shape of its result: with an alphabet (sax),
// std::invalid_argument unless it has a breakpoint row; then
// std::invalid_argument outside the domain (see check_domain); then
// std::length_error "vector too long" for w < 0, a negative window count, or
// window < 0. The count is window_count's for a series of fewer than 2^31
// values; a longer series has its count computed whole in 64 bits, never
// wrapped. Allocates nothing. O(1).
Shape validate_call(std::size_t length, std::int32_t window,
                    std::int32_t stride, std::int32_t w,
                    std::optional<std::int32_t> alpha = std::nullopt);

// Sliding-window z-normalised PAA: one row of w means per window of `window`
// values, one window every `stride` values.
// Throws std::invalid_argument outside the domain (see check_domain);
// std::length_error "vector too long" for w < 0, a negative window count, or
// window < 0; allocation_error on memory exhaustion.
// Cost: count * (3 * window + window * w) operations; allocates one vector
// per row and the plan's working memory (morvel/plan.hpp).
Rows paa(const Series &ts, std::int32_t window, std::int32_t stride,
         std::int32_t w);

// ---- Symbolic discretisation -------------------------------------------

using Word = std::vector<char>;
using Words = std::vector<Word>;

// Stores the letters of the w segment means of buffer[0 .. n-1] into
// row[0 .. w-1]. Preconditions: buffer holds n values, row holds w elements,
// 0 <= alpha <= max_alphabet. Never throws. Cost: as paa_segments, plus one
// binary search per segment.
void discretise(const Series &buffer, Word &row, std::int32_t n, std::int32_t w,
                std::int32_t alpha);

// Sliding-window SAX: as paa, but every segment mean becomes the letter of
// its region among alpha equiprobable Gaussian regions. Rows start as w NUL
// bytes; a window that reports no segment keeps them.
// Throws std::invalid_argument for an alphabet without a breakpoint row
// (checked first) and outside the domain; otherwise exactly as paa, and
// allocates as paa does.
Words sax(const Series &ts, std::int32_t window, std::int32_t stride,
          std::int32_t w, std::int32_t alpha);

} // namespace morvel
