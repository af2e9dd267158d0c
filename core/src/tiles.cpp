#include "morvel/morvel.hpp"
#include "morvel/tiles.hpp"

#include "kernel_args.hpp"
#include "sliding.hpp"

#include <cstdint>
#include <new>
#include <type_traits>
#include <vector>

namespace morvel {
namespace detail {

namespace portable {
void sliding_kernel(const KernelArgs &args);
}
#if MORVEL_HAVE_X86_KERNELS
namespace avx2 {
void sliding_kernel(const KernelArgs &args);
}
namespace avx512 {
void sliding_kernel(const KernelArgs &args);
}
#endif

namespace {

// The stretched walk of paa_segments as runs of one repeated value, cut at
// block boundaries: the additions it describes are exactly those of the
// counter loop, in the same order.
std::vector<Run> plan_runs(std::int32_t n, std::int32_t w) {
  const std::int64_t total = static_cast<std::int64_t>(n) * w;
  std::vector<Run> runs;
  try {
    runs.reserve(static_cast<std::size_t>(n) + static_cast<std::size_t>(w));
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  std::int64_t position = 0;
  std::int64_t block_end = n;
  while (position < total) {
    const std::int64_t value = position / w;
    const std::int64_t value_end = (value + 1) * w;
    const std::int64_t end = value_end < block_end ? value_end : block_end;
    const bool closes = end == block_end;
    runs.push_back({static_cast<std::int32_t>(value),
                    static_cast<std::int32_t>(end - position), closes ? 1 : 0});
    position = end;
    if (closes)
      block_end += n;
  }
  return runs;
}

void run_kernel(InstructionSet set, const KernelArgs &args) {
  switch (set) {
#if MORVEL_HAVE_X86_KERNELS
  case InstructionSet::avx512:
    avx512::sliding_kernel(args);
    return;
  case InstructionSet::avx2:
    avx2::sliding_kernel(args);
    return;
#endif
  default:
    portable::sliding_kernel(args);
  }
}

// Hands the kernel's tiles to a TileSink.
template <typename T> struct Emitter {
  const TileSink<T> *sink;
  const T *cells;

  static void emit(void *context, std::int64_t first, std::int32_t rows) {
    auto *self = static_cast<Emitter *>(context);
    (*self->sink)(static_cast<std::size_t>(first),
                  static_cast<std::size_t>(rows), self->cells);
  }
};

// The checks of the window loop, in the same order, then the kernel over all
// windows, a tile at a time.
template <typename T>
std::size_t tiled(const double *ts, std::size_t length, std::int32_t window,
                  std::int32_t stride, std::int32_t w, InstructionSet set,
                  KernelArgs args, const TileSink<T> &sink) {
  const Shape shape = validate_call(length, window, stride, w);
  if (shape.rows == 0)
    return 0;
  const std::size_t rows = shape.rows;
  const std::int32_t count = static_cast<std::int32_t>(rows);
  const auto tile_rows =
      rows < static_cast<std::size_t>(max_tile_rows) ? rows : static_cast<std::size_t>(max_tile_rows);
  const auto columns = static_cast<std::size_t>(w);
  if (columns != 0 && tile_rows > std::vector<T>().max_size() / columns)
    throw allocation_error();
  // Every cell starts as the fill; a window that reports no segment keeps it.
  std::vector<T> tile = make_filled(tile_rows * columns, T{});
  Emitter<T> emitter{&sink, tile.data()};

  if (window == 0 || w == 0) {
    for (std::size_t first = 0; first < rows; first += tile_rows)
      sink(first, rows - first < tile_rows ? rows - first : tile_rows, tile.data());
    return rows;
  }
  const std::vector<Run> runs = plan_runs(window, w);
  args.ts = ts;
  args.stride = stride;
  args.count = count;
  args.n = window;
  args.w = w;
  args.runs = runs.data();
  args.run_count = runs.size();
  if constexpr (std::is_same_v<T, double>)
    args.means = tile.data();
  else
    args.letters = tile.data();
  args.emit = &Emitter<T>::emit;
  args.context = &emitter;
  run_kernel(set, args);
  return rows;
}

KernelArgs letter_args(std::int32_t alpha) {
  check_alphabet(alpha);
  const BreakpointRow cuts = breakpoints(alpha);
  KernelArgs args{};
  args.cuts = cuts.values;
  args.cut_count = cuts.size;
  return args;
}

// Appends each tile to a grid of w columns (sized up front by sized_grid).
template <typename T> TileSink<T> grid_sink(Grid<T> &grid) {
  return [&grid](std::size_t, std::size_t rows, const T *cells) {
    try {
      grid.cells.insert(grid.cells.end(), cells, cells + rows * grid.columns);
    } catch (const std::bad_alloc &) {
      throw allocation_error();
    }
  };
}

// An empty grid with room for every row of a validated call's result.
template <typename T> Grid<T> sized_grid(Shape shape) {
  Grid<T> grid;
  grid.columns = shape.columns;
  if (shape.columns != 0 && shape.rows > grid.cells.max_size() / shape.columns)
    throw allocation_error();
  try {
    grid.cells.reserve(shape.rows * shape.columns);
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  return grid;
}

// Appends each row of each tile as its own vector of w cells.
template <typename T>
TileSink<T> rows_sink(std::vector<std::vector<T>> &result, std::size_t w) {
  return [&result, w](std::size_t, std::size_t rows, const T *cells) {
    try {
      for (std::size_t i = 0; i < rows; ++i)
        result.emplace_back(cells + i * w, cells + (i + 1) * w);
    } catch (const std::bad_alloc &) {
      throw allocation_error();
    }
  };
}

} // namespace
} // namespace detail

namespace {

bool cpu_supports(InstructionSet set) noexcept {
#if MORVEL_HAVE_X86_KERNELS
  __builtin_cpu_init();
  switch (set) {
  case InstructionSet::avx512:
    return __builtin_cpu_supports("avx512f");
  case InstructionSet::avx2:
    return __builtin_cpu_supports("avx2");
  default:
    return true;
  }
#else
  return set == InstructionSet::portable;
#endif
}

constexpr InstructionSet narrowest_first[] = {
    InstructionSet::portable, InstructionSet::avx2, InstructionSet::avx512};

} // namespace

std::vector<InstructionSet> usable_instruction_sets() {
  std::vector<InstructionSet> sets;
  for (const InstructionSet set : narrowest_first)
    if (cpu_supports(set))
      sets.push_back(set);
  return sets;
}

InstructionSet best_instruction_set() noexcept {
  InstructionSet best = InstructionSet::portable;
  for (const InstructionSet set : narrowest_first)
    if (cpu_supports(set))
      best = set;
  return best;
}

const char *instruction_set_name(InstructionSet set) noexcept {
  switch (set) {
  case InstructionSet::avx512:
    return "avx512";
  case InstructionSet::avx2:
    return "avx2";
  default:
    return "portable";
  }
}

std::size_t paa_tiles(const double *ts, std::size_t length,
                      std::int32_t window, std::int32_t stride, std::int32_t w,
                      const TileSink<double> &sink, InstructionSet set) {
  return detail::tiled<double>(ts, length, window, stride, w, set, {}, sink);
}

std::size_t sax_tiles(const double *ts, std::size_t length,
                      std::int32_t window, std::int32_t stride, std::int32_t w,
                      std::int32_t alpha, const TileSink<char> &sink,
                      InstructionSet set) {
  return detail::tiled<char>(ts, length, window, stride, w, set,
                             detail::letter_args(alpha), sink);
}

Grid<double> paa_grid(const double *ts, std::size_t length, std::int32_t window,
                      std::int32_t stride, std::int32_t w, InstructionSet set) {
  Grid<double> grid =
      detail::sized_grid<double>(validate_call(length, window, stride, w));
  grid.rows =
      paa_tiles(ts, length, window, stride, w, detail::grid_sink(grid), set);
  return grid;
}

Grid<char> sax_grid(const double *ts, std::size_t length, std::int32_t window,
                    std::int32_t stride, std::int32_t w, std::int32_t alpha,
                    InstructionSet set) {
  check_alphabet(alpha);
  Grid<char> grid =
      detail::sized_grid<char>(validate_call(length, window, stride, w));
  grid.rows = sax_tiles(ts, length, window, stride, w, alpha,
                        detail::grid_sink(grid), set);
  return grid;
}

Rows paa(const Series &ts, std::int32_t window, std::int32_t stride,
         std::int32_t w) {
  Rows rows;
  paa_tiles(ts.data(), ts.size(), window, stride, w,
            detail::rows_sink(rows, w < 0 ? 0 : static_cast<std::size_t>(w)));
  return rows;
}

Words sax(const Series &ts, std::int32_t window, std::int32_t stride,
          std::int32_t w, std::int32_t alpha) {
  Words rows;
  sax_tiles(ts.data(), ts.size(), window, stride, w, alpha,
            detail::rows_sink(rows, w < 0 ? 0 : static_cast<std::size_t>(w)));
  return rows;
}

} // namespace morvel
