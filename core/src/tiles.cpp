#include "morvel/morvel.hpp"

#include "kernel_args.hpp"
#include "sliding.hpp"

#include <cstdint>
#include <limits>
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

template <typename T>
Grid<T> make_grid(std::size_t rows, std::size_t columns, T fill) {
  Grid<T> grid;
  grid.rows = rows;
  grid.columns = columns;
  if (columns != 0 && rows > std::vector<T>().max_size() / columns)
    throw allocation_error();
  grid.cells = make_filled(rows * columns, fill);
  return grid;
}

// The checks and allocation of the window loop, in the same order, then the
// kernel over all windows at once.
template <typename T>
Grid<T> tiled(const double *ts, std::size_t length, std::int32_t window,
              std::int32_t stride, std::int32_t w, InstructionSet set,
              KernelArgs args) {
  check_domain(length, window, stride);
  if (w < 0)
    throw_too_long();
  const std::int32_t count = window_count(length, window, stride);
  if (count < 0)
    throw_too_long();
  Grid<T> grid = make_grid(static_cast<std::size_t>(count),
                           static_cast<std::size_t>(w), T{});
  if (window < 0)
    throw_too_long();
  if (count == 0 || window == 0 || w == 0)
    return grid; // no segment is reported: every cell keeps its fill
  const std::vector<Run> runs = plan_runs(window, w);
  args.ts = ts;
  args.stride = stride;
  args.count = count;
  args.n = window;
  args.w = w;
  args.runs = runs.data();
  args.run_count = runs.size();
  if constexpr (std::is_same_v<T, double>)
    args.means = grid.cells.data();
  else
    args.letters = grid.cells.data();
  run_kernel(set, args);
  return grid;
}

template <typename T>
std::vector<std::vector<T>> split_rows(const Grid<T> &grid) {
  auto rows = make_filled(grid.rows, std::vector<T>());
  for (std::size_t i = 0; i < grid.rows; ++i) {
    const auto first = grid.cells.begin() +
                       static_cast<std::ptrdiff_t>(i * grid.columns);
    try {
      rows[i].assign(first, first + static_cast<std::ptrdiff_t>(grid.columns));
    } catch (const std::bad_alloc &) {
      throw allocation_error();
    }
  }
  return rows;
}

} // namespace
} // namespace detail

std::vector<InstructionSet> usable_instruction_sets() {
  std::vector<InstructionSet> sets{InstructionSet::portable};
#if MORVEL_HAVE_X86_KERNELS
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2"))
    sets.push_back(InstructionSet::avx2);
  if (__builtin_cpu_supports("avx512f"))
    sets.push_back(InstructionSet::avx512);
#endif
  return sets;
}

InstructionSet best_instruction_set() noexcept {
#if MORVEL_HAVE_X86_KERNELS
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f"))
    return InstructionSet::avx512;
  if (__builtin_cpu_supports("avx2"))
    return InstructionSet::avx2;
#endif
  return InstructionSet::portable;
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

Grid<double> paa_grid(const double *ts, std::size_t length, std::int32_t window,
                      std::int32_t stride, std::int32_t w, InstructionSet set) {
  return detail::tiled<double>(ts, length, window, stride, w, set, {});
}

Grid<double> paa_grid(const double *ts, std::size_t length, std::int32_t window,
                      std::int32_t stride, std::int32_t w) {
  return paa_grid(ts, length, window, stride, w, best_instruction_set());
}

Grid<char> sax_grid(const double *ts, std::size_t length, std::int32_t window,
                    std::int32_t stride, std::int32_t w, std::int32_t alpha,
                    InstructionSet set) {
  check_alphabet(alpha);
  const BreakpointRow cuts = breakpoints(alpha);
  detail::KernelArgs args{};
  args.cuts = cuts.values;
  args.cut_count = cuts.size;
  return detail::tiled<char>(ts, length, window, stride, w, set, args);
}

Grid<char> sax_grid(const double *ts, std::size_t length, std::int32_t window,
                    std::int32_t stride, std::int32_t w, std::int32_t alpha) {
  return sax_grid(ts, length, window, stride, w, alpha, best_instruction_set());
}

Rows paa(const Series &ts, std::int32_t window, std::int32_t stride,
         std::int32_t w) {
  return detail::split_rows(paa_grid(ts.data(), ts.size(), window, stride, w));
}

Words sax(const Series &ts, std::int32_t window, std::int32_t stride,
          std::int32_t w, std::int32_t alpha) {
  return detail::split_rows(
      sax_grid(ts.data(), ts.size(), window, stride, w, alpha));
}

} // namespace morvel
