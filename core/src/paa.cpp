// Segment averaging, z-normalisation and the numeric transform.
#include "morvel/morvel.hpp"

#include "rows_sink.hpp"

#include <cmath>

namespace morvel {

void paa_segments(const Series &values, std::int32_t n, std::int32_t w,
                  const SegmentSink &sink) {
  // Counted in 64 bits: n*w may exceed the 32-bit range, and exactly w
  // segments must still be reported.
  const std::int64_t total = static_cast<std::int64_t>(n) * w;
  if (total < 1)
    return;
  const double divisor = static_cast<double>(n);
  double sum = 0.0;
  std::size_t k = 0;
  std::int32_t rep = 0;
  std::int32_t pos = 0;
  std::int32_t seg = 0;
  for (std::int64_t i = 0; i < total; ++i) {
    sum += values[k];
    if (++rep == w) {
      rep = 0;
      ++k;
    }
    if (++pos == n) {
      pos = 0;
      double mean = sum / divisor;
      if (std::fabs(mean) < zero_snap_threshold)
        mean = 0.0;
      sink(mean, seg);
      ++seg;
      sum = 0.0;
    }
  }
}

void znormalise(Series &buffer, std::int32_t n) {
  const double length = static_cast<double>(n);
  const auto size = static_cast<std::size_t>(n < 0 ? 0 : n);
  double sum = 0.0;
  for (std::size_t i = 0; i < size; ++i)
    sum += buffer[i];
  const double mean = sum / length;
  double squares = 0.0;
  for (std::size_t i = 0; i < size; ++i) {
    const double deviation = buffer[i] - mean;
    squares += deviation * deviation;
  }
  const double sd = std::sqrt(squares / length);
  for (std::size_t i = 0; i < size; ++i)
    buffer[i] = (buffer[i] - mean) / sd;
}

void paa_window(const Series &buffer, std::vector<double> &row, std::int32_t n,
                std::int32_t w) {
  const SegmentSink store = [&row](double mean, std::int32_t index) {
    row[static_cast<std::size_t>(index)] = mean;
  };
  paa_segments(buffer, n, w, store);
}

Rows paa(const Series &ts, std::int32_t window, std::int32_t stride,
         std::int32_t w) {
  return detail::collect_rows<double>(plan_paa(ts.size(), window, stride, w),
                                      ts.data());
}

} // namespace morvel
