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

// The widest of usable_instruction_sets(), found once per process. Never
// throws. O(1).
InstructionSet best_instruction_set() noexcept;

const char *instruction_set_name(InstructionSet set) noexcept;

// How the independent sums of a call are put side by side:
//  - windows: one window per lane, a tile of windows at a time, for many
//    windows (the windows that do not fill a tile go to `segments`);
//  - segments: one (window, segment) pair per lane, for few windows, where
//    a window's segments are the only independent work;
//  - serial: one window at a time, the literal loop;
//  - automatic: windows when the call has a tile of windows or more,
//    serial for a single window of a single segment, segments otherwise.
// Every layout gives the same bits.
enum class Layout { automatic, windows, segments, serial };

const char *layout_name(Layout layout) noexcept;

struct Execution {
  InstructionSet set = best_instruction_set(); // must be usable
  Layout layout = Layout::automatic;
};

// paa of ts[0 .. length-1], handed to `sink` a tile of rows at a time.
// Throws exactly as paa, before the first tile, and whatever the sink
// throws. Returns the number of rows. Memory: working_bytes(), whatever the
// number of windows; no heap allocation when that is under 4 KiB.
std::size_t paa_tiles(const double *ts, std::size_t length, std::int32_t window,
                      std::int32_t stride, std::int32_t w,
                      const TileSink<double> &sink, Execution how = {});

// sax, a tile at a time; throws exactly as sax.
std::size_t sax_tiles(const double *ts, std::size_t length, std::int32_t window,
                      std::int32_t stride, std::int32_t w, std::int32_t alpha,
                      const TileSink<char> &sink, Execution how = {});

// The memory paa_tiles (cell_bytes 8) or sax_tiles (cell_bytes 1) allocates
// for a call of this shape: its tile of rows and its lane-major scratch.
// Precondition: the call is valid (see validate_call). Never throws. O(1).
std::size_t working_bytes(Shape shape, std::int32_t window, std::int32_t stride,
                          std::size_t cell_bytes, Execution how = {}) noexcept;

// The whole result as one grid. Throws exactly as paa / sax.
Grid<double> paa_grid(const double *ts, std::size_t length, std::int32_t window,
                      std::int32_t stride, std::int32_t w, Execution how = {});
Grid<char> sax_grid(const double *ts, std::size_t length, std::int32_t window,
                    std::int32_t stride, std::int32_t w, std::int32_t alpha,
                    Execution how = {});

// The literal algorithm: for every window a fresh copy, znormalise, then
// paa_window or discretise. Same results and errors as paa and sax, kept as
// the reference the fast paths are tested and timed against.
Rows paa_reference(const Series &ts, std::int32_t window, std::int32_t stride,
                   std::int32_t w);
Words sax_reference(const Series &ts, std::int32_t window, std::int32_t stride,
                    std::int32_t w, std::int32_t alpha);

} // namespace morvel
