#include "morvel/morvel.hpp"

#include "sliding.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

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

std::int32_t window_count(std::size_t length, std::int32_t window,
                          std::int32_t stride) {
  const auto n = static_cast<std::uint64_t>(length);
  const auto span =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(window));
  const auto step =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(stride));
  const std::uint64_t count = (n - span) / step + 1;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(count));
}

bool within_domain(std::size_t length, std::int32_t window,
                   std::int32_t stride) {
  if (stride == 0)
    return false;
  if (window >= 0 && static_cast<std::uint64_t>(window) > length)
    return window_count(length, window, stride) <= 0;
  return true;
}

void check_domain(std::size_t length, std::int32_t window,
                  std::int32_t stride) {
  if (stride == 0)
    throw std::invalid_argument("stride must not be 0");
  if (!within_domain(length, window, stride))
    throw std::invalid_argument("window (" + std::to_string(window) +
                                ") is longer than the series (" +
                                std::to_string(length) + " values)");
}

Shape validate_call(std::size_t length, std::int32_t window,
                    std::int32_t stride, std::int32_t w) {
  check_domain(length, window, stride);
  if (w < 0)
    detail::throw_too_long();
  std::uint64_t rows;
  if (length < std::uint64_t{1} << 31) {
    const std::int32_t count = window_count(length, window, stride);
    if (count < 0)
      detail::throw_too_long();
    rows = static_cast<std::uint64_t>(count);
  } else {
    // A series this long has more windows than 32 bits count: the same
    // unsigned formula, kept whole. No window can be longer than it.
    const auto span =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(window));
    const auto step =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(stride));
    rows = (static_cast<std::uint64_t>(length) - span) / step + 1;
  }
  if (window < 0)
    detail::throw_too_long();
  return {static_cast<std::size_t>(rows), static_cast<std::size_t>(w)};
}

Rows paa_reference(const Series &ts, std::int32_t window, std::int32_t stride,
                   std::int32_t w) {
  return detail::slide<double>(
      ts, window, stride, w,
      [w](const Series &buffer, std::vector<double> &row, std::int32_t n) {
        paa_window(buffer, row, n, w);
      });
}

} // namespace morvel
