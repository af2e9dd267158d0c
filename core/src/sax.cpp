// The symbolic transform: segment means as letters of the alphabet.
#include "morvel/alphabet.hpp"
#include "morvel/morvel.hpp"

#include "rows_sink.hpp"

namespace morvel {

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
