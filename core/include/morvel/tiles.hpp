// morvel's fast paths: the same results as the functions of morvel.hpp, bit
// for bit, computed many windows (or segments) side by side on the widest
// instruction set this CPU offers, chosen at run time, and handed out a tile
// of rows at a time.
#pragma once

#include "morvel/morvel.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace morvel {

// count rows of w cells in one row-major block: cells[i * columns + j].
template <typename T> struct Grid {
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::vector<T> cells;
};

// Receives the result a tile at a time: `rows` consecutive rows starting at
// row `first`, as rows * w cells, row-major. The cells are only valid during
// the call. Rows arrive in ascending order, every row exactly once; a sink
// may throw to end the computation.
template <typename T>
using TileSink =
    std::function<void(std::size_t first, std::size_t rows, const T *cells)>;

enum class InstructionSet { portable, avx2, avx512 };

// The instruction sets compiled in and supported by this CPU, narrowest
// first; always starts with `portable`.
std::vector<InstructionSet> usable_instruction_sets();

// The widest of usable_instruction_sets(). Never throws. O(1).
InstructionSet best_instruction_set() noexcept;

const char *instruction_set_name(InstructionSet set) noexcept;

// paa of ts[0 .. length-1], handed to `sink` a tile of rows at a time and
// computed on `set` (which must be usable). Throws exactly as paa, before the
// first tile, and whatever the sink throws. Returns the number of rows.
// Memory: one tile (at most 32 rows) and a plan of at most window + w steps,
// whatever the number of windows.
std::size_t paa_tiles(const double *ts, std::size_t length,
                      std::int32_t window, std::int32_t stride, std::int32_t w,
                      const TileSink<double> &sink,
                      InstructionSet set = best_instruction_set());

// sax, a tile at a time; throws exactly as sax.
std::size_t sax_tiles(const double *ts, std::size_t length,
                      std::int32_t window, std::int32_t stride, std::int32_t w,
                      std::int32_t alpha, const TileSink<char> &sink,
                      InstructionSet set = best_instruction_set());

// The whole result as one grid. Throws exactly as paa / sax.
Grid<double> paa_grid(const double *ts, std::size_t length, std::int32_t window,
                      std::int32_t stride, std::int32_t w,
                      InstructionSet set = best_instruction_set());
Grid<char> sax_grid(const double *ts, std::size_t length, std::int32_t window,
                    std::int32_t stride, std::int32_t w, std::int32_t alpha,
                    InstructionSet set = best_instruction_set());

// The literal algorithm: for every window a fresh copy, znormalise, then
// paa_window or discretise. Same results and errors as paa and sax, kept as
// the reference the fast paths are tested and timed against.
Rows paa_reference(const Series &ts, std::int32_t window, std::int32_t stride,
                   std::int32_t w);
Words sax_reference(const Series &ts, std::int32_t window, std::int32_t stride,
                    std::int32_t w, std::int32_t alpha);

} // namespace morvel
