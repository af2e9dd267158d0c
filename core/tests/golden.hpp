// The golden file: inputs and the exact bits of their results, written once
// by the serial reference (golden_generate) and read back by the unit tests
// on every platform and toolchain, so that a contraction into a fused
// multiply-add, a different square root or a reordered sum anywhere shows
// up as a failure.
//
// Text, one record per line, doubles as the 16 hex digits of their bits:
//   series NAME COUNT        then COUNT doubles, 8 to a line
//   call NAME WINDOW STRIDE W
//   paa ROWS                 then one line of W doubles per row
//   sax ALPHA ROWS           then one line of W letters per row ("-" if W is 0)
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace golden {

struct Letters {
  std::int32_t alpha;
  std::vector<std::string> rows;
};

struct Call {
  std::string series;
  std::int32_t window, stride, w;
  std::vector<std::vector<std::uint64_t>> paa; // bits of each mean
  std::vector<Letters> sax;
};

inline std::uint64_t bits(double value) {
  std::uint64_t out;
  std::memcpy(&out, &value, sizeof out);
  return out;
}

inline double from_bits(std::uint64_t value) {
  double out;
  std::memcpy(&out, &value, sizeof out);
  return out;
}

} // namespace golden
