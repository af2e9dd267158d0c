// Writes the golden file (see golden.hpp) to standard output, from the
// serial reference. Run once, by `make golden`, on the machine that defines
// the bits; the file is committed and never regenerated to make a test pass.
#include "golden.hpp"

#include <morvel/morvel.hpp>
#include <morvel/reference.hpp>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<double> walk(std::uint64_t seed, std::size_t length) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> step(0.0, 1.0);
  std::vector<double> values(length);
  double level = 0.0;
  for (double &value : values)
    value = level += step(rng);
  return values;
}

// Values that stress the arithmetic: NaN, infinities, huge and subnormal
// magnitudes, repeated tenths whose mean is inexact, exact ties.
std::vector<double> spiky(std::size_t length) {
  std::vector<double> values = walk(7, length);
  const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             1e300,
                             -1e300,
                             5e-324,
                             0.1,
                             0.1,
                             0.1,
                             -0.0,
                             1e-7};
  for (std::size_t i = 0; i < length; i += 9)
    values[i] = specials[(i / 9) % (sizeof specials / sizeof *specials)];
  return values;
}

void print_doubles(const std::vector<double> &values) {
  for (std::size_t i = 0; i < values.size(); ++i)
    std::printf("%016" PRIx64 "%c", golden::bits(values[i]),
                i % 8 == 7 || i + 1 == values.size() ? '\n' : ' ');
}

} // namespace

int main() {
  const std::map<std::string, std::vector<double>> series = {
      {"walk", walk(1, 300)},
      {"spiky", spiky(257)},
      {"long", walk(3, 2400)},
      {"tenths", std::vector<double>(40, 0.1)},
  };
  struct Shape {
    const char *series;
    std::int32_t window, stride, w;
  };
  // Each layout and kernel path: many windows (a tile and more, contiguous
  // or strided), few windows, one window, upsampling, empty rows.
  const Shape calls[] = {
      {"walk", 16, 4, 4},    {"walk", 128, 3, 15},    {"walk", 7, 5, 3},
      {"walk", 64, 3, 16},   {"walk", 16, 9, 40},     {"walk", 300, 1, 16},
      {"walk", 300, 1, 1},   {"walk", 5, 2, 7},       {"walk", 40, 6, 40},
      {"walk", 1, 7, 3},     {"walk", 10, -3, 4},     {"walk", 0, 2, 3},
      {"walk", 2, 1, 0},     {"walk", 3, 97, 300},    {"walk", 120, 1, 5},
      {"spiky", 16, 3, 4},   {"spiky", 33, 2, 9},     {"spiky", 257, 1, 5},
      {"spiky", 9, 4, 2},    {"long", 1000, 100, 20}, {"long", 2390, 1, 20},
      {"long", 2400, 1, 16}, {"long", 200, 60, 10},   {"tenths", 3, 1, 3},
      {"tenths", 40, 1, 7},
  };

  std::printf("# The exact results of the serial reference: see "
              "core/tests/golden.hpp.\n");
  for (const auto &[name, values] : series) {
    std::printf("series %s %zu\n", name.c_str(), values.size());
    print_doubles(values);
  }
  for (const Shape &call : calls) {
    const std::vector<double> &ts = series.at(call.series);
    std::printf("call %s %d %d %d\n", call.series, call.window, call.stride,
                call.w);
    const morvel::Rows rows =
        morvel::paa_reference(ts, call.window, call.stride, call.w);
    std::printf("paa %zu\n", rows.size());
    for (const auto &row : rows) {
      if (row.empty())
        std::printf("-\n");
      else
        print_doubles(row);
    }
    for (const std::int32_t alpha : {3, 4, 10, 24}) {
      const morvel::Words words =
          morvel::sax_reference(ts, call.window, call.stride, call.w, alpha);
      std::printf("sax %d %zu\n", alpha, words.size());
      for (const auto &word : words) {
        std::string text;
        for (const char letter : word)
          text += letter == '\0' ? '.' : letter;
        std::printf("%s\n", text.empty() ? "-" : text.c_str());
      }
    }
  }
  return 0;
}
