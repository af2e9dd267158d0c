#include "morvel/morvel.hpp"

#include "sliding.hpp"

#include <stdexcept>
#include <string>

namespace morvel {

char letter_for(double mean, std::int32_t alpha) noexcept {
  const BreakpointRow row = breakpoints(alpha);
  // Upper bound: the first entry strictly greater than the mean. A comparison
  // with NaN is false, so NaN runs to the end of the row.
  std::int32_t start = 0;
  std::int32_t length = row.size;
  while (length > 0) {
    const std::int32_t half = length / 2;
    if (row.values[start + half] > mean) {
      length = half;
    } else {
      start += half + 1;
      length -= half + 1;
    }
  }
  return static_cast<char>('a' + start);
}

bool valid_alphabet(std::int32_t alpha) noexcept {
  return alpha >= 0 && alpha <= max_alphabet;
}

void check_alphabet(std::int32_t alpha) {
  if (!valid_alphabet(alpha))
    throw std::invalid_argument("alpha must be between 0 and " +
                                std::to_string(max_alphabet) + ", not " +
                                std::to_string(alpha));
}

void discretise(const Series &buffer, Word &row, std::int32_t n, std::int32_t w,
                std::int32_t alpha) {
  const SegmentSink store = [&row, &alpha](double mean, std::int32_t index) {
    row[static_cast<std::size_t>(index)] = letter_for(mean, alpha);
  };
  paa_segments(buffer, n, w, store);
}

Words sax_reference(const Series &ts, std::int32_t window, std::int32_t stride,
                    std::int32_t w, std::int32_t alpha) {
  check_alphabet(alpha);
  return detail::slide<char>(
      ts, window, stride, w,
      [w, alpha](const Series &buffer, Word &row, std::int32_t n) {
        discretise(buffer, row, n, w, alpha);
      });
}

} // namespace morvel
