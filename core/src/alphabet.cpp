// The Gaussian alphabet: the breakpoint table, and everything read from it.
//
// Breakpoints cut the standard normal distribution into equiprobable
// regions, for alphabet sizes 2 ... 24: row a holds the a - 1 quantiles
// Phi^-1(k/a), k = 1 ... a - 1, ascending.
//
// These exact doubles are part of the output's definition: a mean that lands
// on a breakpoint takes the higher letter, so the letters at ties depend on
// these bits. Several differ from the correctly rounded quantile by a few
// units in the last place, and symmetric pairs are not always exact
// negatives; never recompute or "tidy" them. Each is written as the shortest
// decimal that reads back as the stored double.
#include "morvel/alphabet.hpp"

#include "morvel/morvel.hpp"

#include <array>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>

namespace morvel {
namespace {

// Constant-initialised: complete before any code of the module runs.
constexpr double table[] = {
    // alphabet size 2
    0.0,
    // alphabet size 3
    -0.43072729929545756,
    0.43072729929545744,
    // alphabet size 4
    -0.6744897501960817,
    0.0,
    0.6744897501960817,
    // alphabet size 5
    -0.8416212335729142,
    -0.2533471031357997,
    0.2533471031357997,
    0.8416212335729143,
    // alphabet size 6
    -0.967421566101701,
    -0.43072729929545756,
    0.0,
    0.43072729929545744,
    0.967421566101701,
    // alphabet size 7
    -1.0675705238781414,
    -0.5659488219328631,
    -0.1800123697927051,
    0.18001236979270496,
    0.5659488219328631,
    1.0675705238781412,
    // alphabet size 8
    -1.1503493803760079,
    -0.6744897501960817,
    -0.31863936396437514,
    0.0,
    0.31863936396437514,
    0.6744897501960817,
    1.1503493803760079,
    // alphabet size 9
    -1.22064034884735,
    -0.7647096737863871,
    -0.43072729929545756,
    -0.13971029888186212,
    0.13971029888186212,
    0.43072729929545744,
    0.7647096737863871,
    1.2206403488473496,
    // alphabet size 10
    -1.2815515655446004,
    -0.8416212335729142,
    -0.5244005127080409,
    -0.2533471031357997,
    0.0,
    0.2533471031357997,
    0.5244005127080407,
    0.8416212335729143,
    1.2815515655446004,
    // alphabet size 11
    -1.335177736118937,
    -0.9084578685373851,
    -0.6045853465832371,
    -0.3487556955170447,
    -0.11418529432142838,
    0.11418529432142824,
    0.3487556955170447,
    0.6045853465832371,
    0.9084578685373853,
    1.3351777361189363,
    // alphabet size 12
    -1.382994127100638,
    -0.967421566101701,
    -0.6744897501960817,
    -0.43072729929545756,
    -0.2104283942479247,
    0.0,
    0.21042839424792484,
    0.43072729929545744,
    0.6744897501960817,
    0.967421566101701,
    1.382994127100638,
    // alphabet size 13
    -1.4260768722728474,
    -1.0200762327862014,
    -0.7363159173761294,
    -0.5024022233733555,
    -0.29338123212119327,
    -0.09655861528963908,
    0.09655861528963908,
    0.29338123212119344,
    0.5024022233733555,
    0.7363159173761297,
    1.0200762327862014,
    1.4260768722728474,
    // alphabet size 14
    -1.465233792685523,
    -1.0675705238781414,
    -0.7916386077433746,
    -0.5659488219328631,
    -0.36610635680056963,
    -0.1800123697927051,
    0.0,
    0.18001236979270496,
    0.3661063568005698,
    0.5659488219328631,
    0.7916386077433746,
    1.0675705238781412,
    1.465233792685523,
    // alphabet size 15
    -1.501085946044025,
    -1.1107716166367854,
    -0.8416212335729142,
    -0.6229257232100878,
    -0.43072729929545756,
    -0.2533471031357997,
    -0.08365173390712909,
    0.08365173390712909,
    0.2533471031357997,
    0.43072729929545744,
    0.6229257232100877,
    0.8416212335729143,
    1.1107716166367854,
    1.501085946044025,
    // alphabet size 16
    -1.5341205443525463,
    -1.1503493803760079,
    -0.887146559018876,
    -0.6744897501960817,
    -0.4887764111146695,
    -0.31863936396437514,
    -0.1573106846101707,
    0.0,
    0.1573106846101707,
    0.31863936396437514,
    0.4887764111146695,
    0.6744897501960817,
    0.887146559018876,
    1.1503493803760079,
    1.5341205443525463,
    // alphabet size 17
    -1.5647264713617988,
    -1.1868314327558185,
    -0.9288994916472707,
    -0.7215222839823433,
    -0.5413950851290877,
    -0.37739194382855384,
    -0.2230078309403668,
    -0.07379127380827269,
    0.07379127380827269,
    0.2230078309403668,
    0.37739194382855396,
    0.541395085129088,
    0.7215222839823432,
    0.9288994916472707,
    1.1868314327558185,
    1.5647264713617985,
    // alphabet size 18
    -1.5932188180230507,
    -1.22064034884735,
    -0.967421566101701,
    -0.7647096737863871,
    -0.5894557978497783,
    -0.43072729929545756,
    -0.28221614706250814,
    -0.13971029888186212,
    0.0,
    0.13971029888186212,
    0.28221614706250825,
    0.43072729929545744,
    0.5894557978497783,
    0.7647096737863871,
    0.967421566101701,
    1.2206403488473496,
    1.59321881802305,
    // alphabet size 19
    -1.6198562586382699,
    -1.2521195202652196,
    -1.0031479676625337,
    -0.8045963803603002,
    -0.6336400007797011,
    -0.4795056533309502,
    -0.33603814037182317,
    -0.199201324789267,
    -0.06601181237584074,
    0.0660118123758406,
    0.199201324789267,
    0.33603814037182306,
    0.4795056533309502,
    0.633640000779701,
    0.8045963803603002,
    1.0031479676625337,
    1.2521195202652196,
    1.6198562586382697,
    // alphabet size 20
    -1.6448536269514729,
    -1.2815515655446004,
    -1.0364333894937898,
    -0.8416212335729142,
    -0.6744897501960817,
    -0.5244005127080409,
    -0.38532046640756773,
    -0.2533471031357997,
    -0.12566134685507402,
    0.0,
    0.12566134685507416,
    0.2533471031357997,
    0.38532046640756773,
    0.5244005127080407,
    0.6744897501960817,
    0.8416212335729143,
    1.0364333894937898,
    1.2815515655446004,
    1.6448536269514722,
    // alphabet size 21
    -1.6683911939470795,
    -1.309171716785777,
    -1.0675705238781414,
    -0.8761428492468408,
    -0.712443032389489,
    -0.5659488219328631,
    -0.43072729929545756,
    -0.30298044805620655,
    -0.1800123697927051,
    -0.05971709978532289,
    0.05971709978532289,
    0.18001236979270496,
    0.30298044805620655,
    0.43072729929545744,
    0.5659488219328631,
    0.7124430323894889,
    0.8761428492468408,
    1.0675705238781412,
    1.309171716785777,
    1.668391193947079,
    // alphabet size 22
    -1.6906216295848977,
    -1.335177736118937,
    -1.0968035620935135,
    -0.9084578685373851,
    -0.7478585947633022,
    -0.6045853465832371,
    -0.4727891209922674,
    -0.3487556955170447,
    -0.22988411757923205,
    -0.11418529432142838,
    0.0,
    0.11418529432142824,
    0.2298841175792322,
    0.3487556955170447,
    0.4727891209922672,
    0.6045853465832371,
    0.7478585947633022,
    0.9084578685373853,
    1.0968035620935135,
    1.3351777361189363,
    1.6906216295848986,
    // alphabet size 23
    -1.7116753065097285,
    -1.3597373839386062,
    -1.1243382315686392,
    -0.9388143168769032,
    -0.7810338115227088,
    -0.6406668899191049,
    -0.5119362138713294,
    -0.39119625818947174,
    -0.2759210631079599,
    -0.164210777079331,
    -0.05451891484810106,
    0.05451891484810106,
    0.16421077707933085,
    0.27592106310796005,
    0.39119625818947174,
    0.5119362138713294,
    0.6406668899191048,
    0.7810338115227088,
    0.9388143168769032,
    1.1243382315686385,
    1.3597373839386055,
    1.7116753065097288,
    // alphabet size 24
    -1.731664396122245,
    -1.382994127100638,
    -1.1503493803760079,
    -0.967421566101701,
    -0.8122178014999129,
    -0.6744897501960817,
    -0.5485222826980979,
    -0.43072729929545756,
    -0.31863936396437514,
    -0.2104283942479247,
    -0.1046334556140754,
    0.0,
    0.10463345561407526,
    0.21042839424792484,
    0.31863936396437514,
    0.43072729929545744,
    0.5485222826980981,
    0.6744897501960817,
    0.8122178014999129,
    0.967421566101701,
    1.1503493803760079,
    1.382994127100638,
    1.7316643961222453,
};

// Row a is table[offsets[a] .. offsets[a + 1] - 1].
constexpr std::array<std::size_t, max_alphabet + 2> offsets{
    0,  0,  0,  1,   3,   6,   10,  15,  21,  28,  36,  45,  55,
    66, 78, 91, 105, 120, 136, 153, 171, 190, 210, 231, 253, 276,
};

static_assert(sizeof(table) / sizeof(table[0]) == offsets[max_alphabet + 1],
              "every row holds alphabet size - 1 breakpoints");

} // namespace

BreakpointRow breakpoints(std::int32_t alpha) noexcept {
  const auto index = static_cast<std::size_t>(alpha);
  return {table + offsets[index],
          static_cast<std::int32_t>(offsets[index + 1] - offsets[index])};
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

std::size_t letter_count(std::int32_t alpha) noexcept {
  return alpha < 2 ? 1 : static_cast<std::size_t>(alpha);
}

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

const char *letter_grid(std::int32_t alpha) noexcept {
  using Grid = std::array<char, letter_grid_cells + 1>; // and the 0
  static std::once_flag built[max_alphabet + 1];
  static Grid grids[max_alphabet + 1];
  const auto index = static_cast<std::size_t>(alpha);
  std::call_once(built[index], [alpha, &grid = grids[index]] {
    const double infinity = std::numeric_limits<double>::infinity();
    // The letter of a mean after the snap: non-decreasing in the mean, so
    // constant over [low, high) exactly when equal at low and just below
    // high.
    auto letter = [alpha](double mean) {
      return letter_for(std::fabs(mean) < zero_snap_threshold ? 0.0 : mean,
                        alpha);
    };
    auto edge = [infinity](std::int32_t k) {
      if (k <= 0)
        return -infinity;
      if (k >= letter_grid_cells)
        return infinity;
      return (k - letter_grid_offset) / letter_grid_scale;
    };
    for (std::int32_t k = 0; k < letter_grid_cells; ++k) {
      const double low = edge(k - 1);
      const double high = edge(k + 2);
      const char first = letter(low);
      const char last = high == infinity ? letter(infinity)
                                         : letter(std::nextafter(high, low));
      grid[static_cast<std::size_t>(k)] = first == last ? first : 0;
    }
  });
  return grids[index].data();
}

Alphabet::Alphabet(std::int32_t alpha) : letters_(letter_count(alpha)) {
  index_.fill(static_cast<std::uint8_t>(letters_));
  for (std::size_t r = 0; r < letters_; ++r)
    index_['a' + r] = static_cast<std::uint8_t>(r);
  const BreakpointRow beta = breakpoints(alpha);
  const double infinity = std::numeric_limits<double>::infinity();
  for (std::size_t c = 0; c < letters_; ++c)
    regions_[c] = {c == 0 ? -infinity : beta.values[c - 1],
                   c + 1 == letters_ ? infinity : beta.values[c]};
  const std::size_t side = letters_ + 1;
  squares_.assign(side * side, std::numeric_limits<double>::quiet_NaN());
  for (std::size_t r = 0; r < letters_; ++r)
    for (std::size_t c = 0; c < letters_; ++c) {
      const std::size_t low = r < c ? r : c;
      const std::size_t high = r < c ? c : r;
      const double cell =
          high - low <= 1 ? 0.0 : beta.values[high - 1] - beta.values[low];
      squares_[r * side + c] = cell * cell;
    }
}

void Alphabet::refuse(char byte) const {
  const auto code = static_cast<unsigned char>(byte);
  char shown[8];
  if (code >= 0x20 && code < 0x7f)
    std::snprintf(shown, sizeof shown, "%c", code);
  else
    std::snprintf(shown, sizeof shown, "\\x%02x", code);
  const char last = static_cast<char>('a' + letters_ - 1);
  throw std::invalid_argument("b'" + std::string(shown) +
                              "' is not a letter of the alphabet of " +
                              std::to_string(letters_) + " letters ('a' ... '" +
                              std::string(1, last) + "')");
}

} // namespace morvel
