#include "morvel/reference.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

namespace morvel {
namespace {

// A vector of `size` copies of `value`, failing with the system's own words.
template <typename T>
std::vector<T> make_filled(std::size_t size, const T &value) {
  try {
    return std::vector<T>(size, value);
  } catch (const std::length_error &) {
    throw std::length_error("vector too long");
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
}

// The window loop shared by both transforms, which differ only in what a row
// holds and how a normalised window fills it: for every window, a private
// copy is z-normalised and handed to fill(buffer, row, window).
template <typename Element, typename Fill>
std::vector<std::vector<Element>>
slide(const Series &ts, std::int32_t window, std::int32_t stride,
      std::int32_t w, std::optional<std::int32_t> alpha, Fill fill) {
  const Shape shape = validate_call(ts.size(), window, stride, w, alpha);
  const std::vector<Element> row_template =
      make_filled(shape.columns, Element{});
  auto result = make_filled(shape.rows, row_template);
  const auto count = static_cast<std::int64_t>(shape.rows);

  Series buffer = make_filled(static_cast<std::size_t>(window), 0.0);
  for (std::int64_t i = 0; i < count; ++i) {
    // 64-bit offsets: a negative stride only ever reaches i == 0, and long
    // series must not wrap.
    const auto start = static_cast<std::int64_t>(stride) * i;
    const double *first = ts.data() + start;
    std::copy(first, first + window, buffer.begin());
    znormalise(buffer, window);
    fill(buffer, result[static_cast<std::size_t>(i)], window);
  }
  return result;
}

} // namespace

Rows paa_reference(const Series &ts, std::int32_t window, std::int32_t stride,
                   std::int32_t w) {
  return slide<double>(ts, window, stride, w, std::nullopt,
                       [w](const Series &buffer, std::vector<double> &row,
                           std::int32_t n) { paa_window(buffer, row, n, w); });
}

Words sax_reference(const Series &ts, std::int32_t window, std::int32_t stride,
                    std::int32_t w, std::int32_t alpha) {
  return slide<char>(
      ts, window, stride, w, alpha,
      [w, alpha](const Series &buffer, Word &row, std::int32_t n) {
        discretise(buffer, row, n, w, alpha);
      });
}

} // namespace morvel
