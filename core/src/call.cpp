// The one check of a sliding-window call: its alphabet (as the alphabet
// checks it), its domain and the size of its result, decided here for the
// plans and the literal reference alike.
#include "morvel/morvel.hpp"

#include <stdexcept>
#include <string>

namespace morvel {

namespace {

[[noreturn]] void throw_too_long() {
  throw std::length_error("vector too long");
}

} // namespace

std::string shape_text(const std::vector<std::size_t> &shape) {
  std::string text = "(";
  for (std::size_t i = 0; i < shape.size(); ++i)
    text += (i == 0 ? "" : ", ") + std::to_string(shape[i]);
  return text + (shape.size() == 1 ? ",)" : ")");
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
                    std::int32_t stride, std::int32_t w,
                    std::optional<std::int32_t> alpha) {
  if (alpha)
    check_alphabet(*alpha);
  check_domain(length, window, stride);
  if (w < 0)
    throw_too_long();
  std::uint64_t rows;
  if (length < std::uint64_t{1} << 31) {
    const std::int32_t count = window_count(length, window, stride);
    if (count < 0)
      throw_too_long();
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
    throw_too_long();
  return {static_cast<std::size_t>(rows), static_cast<std::size_t>(w)};
}

} // namespace morvel
