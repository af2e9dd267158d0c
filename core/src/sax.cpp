// Letters for segment means and the symbolic transform.
#include "morvel/morvel.hpp"

#include "rows_sink.hpp"

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

void discretise(const Series &buffer, Word &row, std::int32_t n, std::int32_t w,
                std::int32_t alpha) {
  const SegmentSink store = [&row, &alpha](double mean, std::int32_t index) {
    row[static_cast<std::size_t>(index)] = letter_for(mean, alpha);
  };
  paa_segments(buffer, n, w, store);
}

Words sax(const Series &ts, std::int32_t window, std::int32_t stride,
          std::int32_t w, std::int32_t alpha) {
  return detail::collect_rows<char>(
      plan_sax(ts.size(), window, stride, w, alpha), ts.data());
}

} // namespace morvel
