// The Gaussian alphabet of SAX: its sizes, the breakpoints that cut N(0, 1)
// into equiprobable regions, the letter of a value, the region each letter
// stands for, and the cells of the lower-bounding distance between words.
// Everything that knows a breakpoint asks this header.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace morvel {

// Alphabet sizes with a breakpoint row: 0 ... max_alphabet. Sizes 0 and 1
// have an empty row, so every segment gets the letter 'a'.
inline constexpr std::int32_t max_alphabet = 24;

// One row of the breakpoint table: `size` doubles, strictly ascending.
struct BreakpointRow {
  const double *values;
  std::int32_t size;
  const double *begin() const noexcept { return values; }
  const double *end() const noexcept { return values + size; }
};

// Row alpha of the Gaussian breakpoint table: the alpha - 1 cut points of
// alpha equiprobable regions of N(0, 1), as exact constants.
// Precondition: 0 <= alpha <= max_alphabet (unchecked). Never throws. O(1).
BreakpointRow breakpoints(std::int32_t alpha) noexcept;

// Whether alpha has a breakpoint row. Never throws. O(1).
bool valid_alphabet(std::int32_t alpha) noexcept;

// Throws std::invalid_argument, with a message naming the supported sizes,
// unless alpha has a breakpoint row. O(1).
void check_alphabet(std::int32_t alpha);

// The letters of an alphabet: 'a' and the next letter_count - 1 letters;
// sizes 0 and 1 have the one letter 'a'. Precondition: valid_alphabet(alpha).
// Never throws. O(1).
std::size_t letter_count(std::int32_t alpha) noexcept;

// The letter of a segment mean: 'a' plus the number of breakpoints of row
// alpha that are <= mean (an upper-bound binary search). Ties take the higher
// letter, NaN the last one. Precondition: valid_alphabet(alpha).
// Never throws. Cost: O(log alpha).
char letter_for(double mean, std::int32_t alpha) noexcept;

// A lookup of letters for means known to within half a grid step: cell k
// (0 <= k < letter_grid_cells) holds the means v with floor(v *
// letter_grid_scale) + letter_grid_offset = k, the first and last cells
// extended to -inf and +inf. Its byte is the letter of every mean (after the
// zero snap) from one cell below to one cell above it, or 0 where a
// breakpoint or an edge of the snap lies there. So a mean m with an index k
// computed to within a cell of its own, whose true value lies within half a
// step of m, has the letter grid[k] when that is not 0.
inline constexpr double letter_grid_scale = 2048.0;
inline constexpr double letter_grid_offset = 16384.0;
inline constexpr std::int32_t letter_grid_cells = 32768;

// The grid of alphabet alpha, letter_grid_cells bytes, built on first use
// (O(cells log alpha), once per alphabet and process; thread-safe).
// One more byte, grid[letter_grid_cells], is always 0: a cell for means
// not looked up. Precondition: valid_alphabet(alpha). Never throws.
const char *letter_grid(std::int32_t alpha) noexcept;

// The finer cut of N(0, 1) the index's words use: fine_symbol_count
// equiprobable regions, symbol s (0 ... 255) standing for [cut[s - 1],
// cut[s]), infinite at either end. fine_breakpoints() gives the
// fine_symbol_count - 1 cut points, strictly ascending, and then +inf.
// Never throws. O(1).
inline constexpr std::int32_t fine_symbol_count = 256;
const double *fine_breakpoints() noexcept;

// First guesses of fine_symbol: cell k of fine_guess_cells covers the means
// v with floor(v * fine_guess_scale) + fine_guess_cells / 2 = k, and holds
// the symbol of the lower edge of cell k - 1, never above the symbol of a
// mean in cell k, and at most one below it (no two cut points are closer
// than two cells); the last entry serves every mean beyond the cells.
inline constexpr double fine_guess_scale = 512.0;
inline constexpr std::int32_t fine_guess_cells = 4096;
const std::uint8_t *fine_symbol_guesses() noexcept;

// The symbol of a mean: the number of fine cut points <= it (NaN, +inf: the
// last). A FineSymbols holds the tables, for loops over many means. Never
// throws. Cost: a table lookup and a comparison.
struct FineSymbols {
  const double *cuts = fine_breakpoints();
  const std::uint8_t *guesses = fine_symbol_guesses();
  std::uint8_t operator()(double mean) const noexcept {
    if (!(mean < std::numeric_limits<double>::infinity()))
      return static_cast<std::uint8_t>(fine_symbol_count - 1);
    const double at = mean * fine_guess_scale + fine_guess_cells / 2;
    std::int32_t symbol = 0;
    if (at >= static_cast<double>(fine_guess_cells))
      symbol = guesses[fine_guess_cells];
    else if (at >= 0.0)
      symbol = guesses[static_cast<std::size_t>(at)];
    // The cut points are followed by +inf: a finite mean never passes it.
    return static_cast<std::uint8_t>(symbol + (cuts[symbol] <= mean ? 1 : 0));
  }
};
inline std::uint8_t fine_symbol(double mean) noexcept {
  return FineSymbols{}(mean);
}

// The means a letter stands for: [lower, upper), infinite at either end.
struct Region {
  double lower;
  double upper;
};

// The squared distance from a mean to a region: lower - mean below it,
// mean - upper above it, 0 inside or on its upper edge. The one measure of
// every bound between a mean and a letter or a symbol. Never throws. O(1).
inline double squared_gap(double mean, Region region) noexcept {
  double gap = 0.0;
  if (mean < region.lower)
    gap = region.lower - mean;
  else if (mean > region.upper)
    gap = mean - region.upper;
  return gap * gap;
}

// One alphabet's letters as the distance between words reads them: which
// bytes are letters, each letter's region, and the squared cells, tabled.
// The cell of letters r and c is 0 when |r - c| <= 1, else
// beta[max(r, c) - 1] - beta[min(r, c)]; the cell of a mean q and letter c
// is lower(c) - q below its region, q - upper(c) above it, 0 inside, and
// NaN for a NaN mean.
//
// Letters are numbered from 0 ('a'); letters() stands for a byte that is no
// letter, whose every cell is NaN. Construction: precondition
// valid_alphabet(alpha); allocates one table of (letters + 1)^2 doubles.
class Alphabet {
public:
  explicit Alphabet(std::int32_t alpha);

  std::size_t letters() const { return letters_; }
  // A byte's letter number, or letters() for a byte that is no letter.
  std::size_t index(char byte) const {
    return index_[static_cast<unsigned char>(byte)];
  }
  Region region(std::size_t letter) const { return regions_[letter]; }
  double squared_cell(std::size_t r, std::size_t c) const {
    return squares_[r * (letters_ + 1) + c];
  }
  double squared_cell(double mean, std::size_t c) const {
    if (c == letters_ || std::isnan(mean))
      return std::numeric_limits<double>::quiet_NaN();
    return squared_gap(mean, regions_[c]);
  }
  // Throws std::invalid_argument naming the byte and the alphabet:
  // "b'e' is not a letter of the alphabet of 4 letters ('a' ... 'd')".
  [[noreturn]] void refuse(char byte) const;

private:
  std::size_t letters_;
  std::array<std::uint8_t, 256> index_{};
  std::array<Region, max_alphabet + 1> regions_{};
  std::vector<double> squares_;
};

} // namespace morvel
