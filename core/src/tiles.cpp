#include "morvel/tiles.hpp"
#include "morvel/morvel.hpp"

#include "kernel_args.hpp"
#include "sliding.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace morvel {
namespace detail {

namespace portable {
void windows_kernel(const WindowArgs &args);
void segments_kernel(const SegmentArgs &args);
} // namespace portable
#if MORVEL_HAVE_X86_KERNELS
namespace avx2 {
void windows_kernel(const WindowArgs &args);
void segments_kernel(const SegmentArgs &args);
} // namespace avx2
namespace avx512 {
void windows_kernel(const WindowArgs &args);
void segments_kernel(const SegmentArgs &args);
} // namespace avx512
#endif

namespace {

// Each instruction set's kernels, and their lanes (vector width times
// chains, see kernel_*.cpp).
struct Kernels {
  std::int64_t lanes;
  void (*windows)(const WindowArgs &);
  void (*segments)(const SegmentArgs &);
};

const Kernels &kernels(InstructionSet set) {
  static const Kernels portable_kernels{16, &portable::windows_kernel,
                                        &portable::segments_kernel};
#if MORVEL_HAVE_X86_KERNELS
  static const Kernels avx2_kernels{32, &avx2::windows_kernel,
                                    &avx2::segments_kernel};
  static const Kernels avx512_kernels{32, &avx512::windows_kernel,
                                      &avx512::segments_kernel};
  if (set == InstructionSet::avx512)
    return avx512_kernels;
  if (set == InstructionSet::avx2)
    return avx2_kernels;
#endif
  (void)set;
  return portable_kernels;
}

std::int64_t kernel_lanes(InstructionSet set) { return kernels(set).lanes; }

// Lane-major copies are made a chunk at a time, small enough to stay in
// cache: at most this many bytes.
constexpr std::int64_t scratch_bytes = std::int64_t{1} << 20;
// Windows handed to the segments kernel at a time.
constexpr std::int64_t segment_batch = max_kernel_lanes;

// How a call is carried out: which windows go to which kernel and the sizes
// of the buffers they need.
struct Division {
  std::int64_t tiled = 0; // windows 0 ... tiled - 1 on the windows kernel
  std::int64_t batch = 0; // rows per batch of the rest
  bool serial = false;    // the rest one window at a time, else segments
  InstructionSet segment_set = InstructionSet::portable;
  std::int64_t tile_rows = 0;
  std::int64_t window_scratch = 0;  // values per lane, windows kernel
  std::int64_t segment_scratch = 0; // slots of the segments kernel
};

Division divide(Shape shape, std::int32_t window, std::int32_t stride,
                Execution how) {
  const auto count = static_cast<std::int64_t>(shape.rows);
  const auto w = static_cast<std::int64_t>(shape.columns);
  const std::int64_t n = window;
  const std::int64_t lanes = kernel_lanes(how.set);
  Layout layout = how.layout;
  if (layout == Layout::automatic)
    layout = count >= lanes         ? Layout::windows
             : count == 1 && w == 1 ? Layout::serial
                                    : Layout::segments;
  Division division;
  if (n == 0 || w == 0) {
    // Nothing to compute: rows of their initial fill, a tile at a time.
    division.tile_rows = count < lanes ? count : lanes;
    return division;
  }
  if (layout == Layout::windows)
    division.tiled = count / lanes * lanes;
  division.serial = layout == Layout::serial;
  const std::int64_t rest = count - division.tiled;
  // A few segments side by side are bound by the latency of each addition,
  // which is shorter on 256-bit vectors than on 512-bit ones; many are bound
  // by throughput, where the wider vectors do twice the work.
  division.segment_set = how.set;
  if (how.layout == Layout::automatic && how.set == InstructionSet::avx512 &&
      rest * w <= 32)
    division.segment_set = InstructionSet::avx2;
  division.batch = rest < segment_batch ? rest : segment_batch;
  division.tile_rows = division.tiled > 0 ? lanes : 0;
  if (division.batch > division.tile_rows)
    division.tile_rows = division.batch;
  if (division.tiled > 0 && stride != 1) {
    const std::int64_t fits = scratch_bytes / (lanes * 8);
    division.window_scratch = n < fits ? n : fits;
  }
  if (rest > 0 && !division.serial) {
    // A segment of n samples over values w apart spans at most this many
    // slots; two at least, for the two-value form.
    const std::int64_t spans = w >= n ? 2 : n / w + 2;
    const std::int64_t fits = scratch_bytes / (max_kernel_lanes * 8);
    division.segment_scratch = spans < fits ? spans : fits;
  }
  return division;
}

// One block of memory for a call's buffers: inline when small, else on the
// heap, failing with the system's own words.
class Workspace {
public:
  explicit Workspace(std::size_t bytes) {
    if (bytes <= sizeof inline_) {
      base_ = inline_;
      return;
    }
    heap_.reset(static_cast<unsigned char *>(std::malloc(bytes)));
    if (!heap_)
      throw allocation_error();
    base_ = reinterpret_cast<double *>(heap_.get());
  }

  // `count` objects of type T, the next in the block (8-byte aligned).
  template <typename T> T *take(std::size_t count) {
    T *at =
        reinterpret_cast<T *>(reinterpret_cast<unsigned char *>(base_) + used_);
    used_ += (count * sizeof(T) + 7) / 8 * 8;
    return at;
  }

private:
  struct Free {
    void operator()(unsigned char *p) const { std::free(p); }
  };
  double inline_[512]; // 4 KiB
  double *base_ = nullptr;
  std::size_t used_ = 0;
  std::unique_ptr<unsigned char, Free> heap_;
};

std::size_t round8(std::size_t bytes) { return (bytes + 7) / 8 * 8; }

std::size_t workspace_bytes(const Division &division, Shape shape,
                            std::size_t cell_bytes, std::int64_t lanes) {
  std::size_t bytes = round8(static_cast<std::size_t>(division.tile_rows) *
                             shape.columns * cell_bytes);
  bytes += static_cast<std::size_t>(division.window_scratch * lanes) * 8;
  bytes +=
      static_cast<std::size_t>(division.segment_scratch * max_kernel_lanes) * 8;
  bytes += static_cast<std::size_t>(2 * division.batch) * 8; // moments
  return bytes;
}

// Means and standard deviations of `count` windows, as znormalise computes
// them: per window one ordered chain for the sum and one for the squares,
// K windows' chains interleaved so that they overlap.
template <int K>
void moments_of(const double *ts, std::int64_t stride, std::int64_t first,
                std::int32_t n, double *means, double *deviations) {
  const double length = static_cast<double>(n);
  const double *start[K];
  double sum[K];
  double squares[K];
  double mean[K];
  for (int i = 0; i < K; ++i) {
    start[i] = ts + (first + i) * stride;
    sum[i] = 0.0;
    squares[i] = 0.0;
  }
  for (std::int64_t k = 0; k < n; ++k)
    for (int i = 0; i < K; ++i)
      sum[i] += start[i][k];
  for (int i = 0; i < K; ++i)
    mean[i] = sum[i] / length;
  for (std::int64_t k = 0; k < n; ++k)
    for (int i = 0; i < K; ++i) {
      const double deviation = start[i][k] - mean[i];
      squares[i] += deviation * deviation;
    }
  for (int i = 0; i < K; ++i) {
    means[i] = mean[i];
    deviations[i] = std::sqrt(squares[i] / length);
  }
}

void moments(const double *ts, std::int64_t stride, std::int64_t first,
             std::int64_t count, std::int32_t n, double *means,
             double *deviations) {
  std::int64_t i = 0;
  for (; i + 8 <= count; i += 8)
    moments_of<8>(ts, stride, first + i, n, means + i, deviations + i);
  for (; i + 4 <= count; i += 4)
    moments_of<4>(ts, stride, first + i, n, means + i, deviations + i);
  for (; i + 2 <= count; i += 2)
    moments_of<2>(ts, stride, first + i, n, means + i, deviations + i);
  for (; i < count; ++i)
    moments_of<1>(ts, stride, first + i, n, means + i, deviations + i);
}

// One window, the literal way: its stretched walk as paa_segments does it,
// each value normalised when reached.
void store_block(const Cells &cells, std::size_t at, double sum,
                 double length) {
  double block = sum / length;
  if (std::fabs(block) < zero_snap_threshold)
    block = 0.0;
  if (cells.means != nullptr)
    cells.means[at] = block;
  else
    cells.letters[at] = letter_for(block, cells.alpha);
}

void serial_window(const double *x, std::int32_t n, std::int32_t w, double mean,
                   double deviation, const Cells &cells, std::size_t row) {
  const double length = static_cast<double>(n);
  if (w == 1) {
    // One segment: the sum of the normalised window, one value after
    // another. The values are normalised a stretch at a time, side by side
    // in vectors, which the processor overlaps with the chain of additions
    // over the stretch before.
    constexpr std::int32_t stretch = 256;
    double values[stretch];
    double sum = 0.0;
    for (std::int32_t from = 0; from < n; from += stretch) {
      const std::int32_t count = n - from < stretch ? n - from : stretch;
      for (std::int32_t i = 0; i < count; ++i)
        values[i] = (x[from + i] - mean) / deviation;
      for (std::int32_t i = 0; i < count; ++i)
        sum += values[i];
    }
    store_block(cells, row, sum, length);
    return;
  }
  const std::int64_t total = static_cast<std::int64_t>(n) * w;
  double sum = 0.0;
  double z = 0.0;
  std::int64_t value = -1;
  std::int32_t rep = 0;
  std::int32_t pos = 0;
  std::size_t segment = 0;
  for (std::int64_t i = 0; i < total; ++i) {
    if (rep == 0)
      z = (x[++value] - mean) / deviation;
    sum += z;
    if (++rep == w)
      rep = 0;
    if (++pos == n) {
      pos = 0;
      store_block(cells, row * static_cast<std::size_t>(w) + segment++, sum,
                  length);
      sum = 0.0;
    }
  }
}

template <typename T> struct Emitter {
  const TileSink<T> *sink;
  const T *cells;

  static void emit(void *context, std::int64_t first, std::int32_t rows) {
    auto *self = static_cast<Emitter *>(context);
    (*self->sink)(static_cast<std::size_t>(first),
                  static_cast<std::size_t>(rows), self->cells);
  }
};

template <typename T>
std::size_t tiled(const double *ts, std::size_t length, std::int32_t window,
                  std::int32_t stride, std::int32_t w, Cells cells,
                  Execution how, const TileSink<T> &sink) {
  const Shape shape = validate_call(length, window, stride, w);
  if (shape.rows == 0)
    return 0;
  const auto count = static_cast<std::int64_t>(shape.rows);
  const Division division = divide(shape, window, stride, how);
  const std::int64_t lanes = kernel_lanes(how.set);
  Workspace workspace(workspace_bytes(division, shape, sizeof(T), lanes));
  const std::size_t tile_cells =
      static_cast<std::size_t>(division.tile_rows) * shape.columns;
  T *tile = workspace.template take<T>(tile_cells);
  // Every cell starts as the fill; a window that reports no segment keeps it.
  for (std::size_t i = 0; i < tile_cells; ++i)
    tile[i] = T{};
  if constexpr (std::is_same_v<T, double>)
    cells.means = tile;
  else
    cells.letters = tile;

  if (window == 0 || w == 0) {
    const auto rows = static_cast<std::size_t>(division.tile_rows);
    for (std::size_t first = 0; first < shape.rows; first += rows)
      sink(first, shape.rows - first < rows ? shape.rows - first : rows, tile);
    return shape.rows;
  }

  Emitter<T> emitter{&sink, tile};
  if (division.tiled > 0) {
    WindowArgs args{};
    args.ts = ts;
    args.stride = stride;
    args.first = 0;
    args.count = division.tiled;
    args.n = window;
    args.w = w;
    args.cells = cells;
    args.scratch = workspace.template take<double>(
        static_cast<std::size_t>(division.window_scratch * lanes));
    args.scratch_values = division.window_scratch;
    args.emit = &Emitter<T>::emit;
    args.context = &emitter;
    kernels(how.set).windows(args);
  }

  double *scratch = workspace.template take<double>(
      static_cast<std::size_t>(division.segment_scratch * max_kernel_lanes));
  double *means =
      workspace.template take<double>(static_cast<std::size_t>(division.batch));
  double *deviations =
      workspace.template take<double>(static_cast<std::size_t>(division.batch));
  for (std::int64_t first = division.tiled; first < count;
       first += division.batch) {
    const std::int64_t rows =
        count - first < division.batch ? count - first : division.batch;
    if (division.serial) {
      moments(ts, stride, first, rows, window, means, deviations);
      for (std::int64_t i = 0; i < rows; ++i)
        serial_window(ts + (first + i) * stride, window, w, means[i],
                      deviations[i], cells, static_cast<std::size_t>(i));
    } else {
      SegmentArgs args{};
      args.ts = ts;
      args.length = static_cast<std::int64_t>(length);
      args.stride = stride;
      args.first = first;
      args.count = rows;
      args.n = window;
      args.w = w;
      args.window_means = means;
      args.window_deviations = deviations;
      // One or two chains run faster on scalars than in vector lanes.
      args.moments_known = rows <= 2;
      if (args.moments_known)
        moments(ts, stride, first, rows, window, means, deviations);
      args.cells = cells;
      args.scratch = scratch;
      args.scratch_slots = division.segment_scratch;
      kernels(division.segment_set).segments(args);
    }
    sink(static_cast<std::size_t>(first), static_cast<std::size_t>(rows), tile);
  }
  return shape.rows;
}

Cells letter_cells(std::int32_t alpha) {
  check_alphabet(alpha);
  const BreakpointRow cuts = breakpoints(alpha);
  Cells cells{};
  cells.cuts = cuts.values;
  cells.cut_count = cuts.size;
  cells.alpha = alpha;
  return cells;
}

// Appends each tile to a grid (sized up front by sized_grid).
template <typename T> TileSink<T> grid_sink(Grid<T> &grid) {
  return [&grid](std::size_t, std::size_t rows, const T *cells) {
    grid.cells.insert(grid.cells.end(), cells, cells + rows * grid.columns);
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
  static const InstructionSet best = [] {
    InstructionSet widest = InstructionSet::portable;
    for (const InstructionSet set : narrowest_first)
      if (cpu_supports(set))
        widest = set;
    return widest;
  }();
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

const char *layout_name(Layout layout) noexcept {
  switch (layout) {
  case Layout::windows:
    return "windows";
  case Layout::segments:
    return "segments";
  case Layout::serial:
    return "serial";
  default:
    return "automatic";
  }
}

std::size_t working_bytes(Shape shape, std::int32_t window, std::int32_t stride,
                          std::size_t cell_bytes, Execution how) noexcept {
  if (shape.rows == 0)
    return 0;
  const detail::Division division = detail::divide(shape, window, stride, how);
  const std::size_t bytes = detail::workspace_bytes(
      division, shape, cell_bytes, detail::kernel_lanes(how.set));
  return bytes <= 4096 ? 0 : bytes;
}

std::size_t paa_tiles(const double *ts, std::size_t length, std::int32_t window,
                      std::int32_t stride, std::int32_t w,
                      const TileSink<double> &sink, Execution how) {
  return detail::tiled<double>(ts, length, window, stride, w, detail::Cells{},
                               how, sink);
}

std::size_t sax_tiles(const double *ts, std::size_t length, std::int32_t window,
                      std::int32_t stride, std::int32_t w, std::int32_t alpha,
                      const TileSink<char> &sink, Execution how) {
  return detail::tiled<char>(ts, length, window, stride, w,
                             detail::letter_cells(alpha), how, sink);
}

Grid<double> paa_grid(const double *ts, std::size_t length, std::int32_t window,
                      std::int32_t stride, std::int32_t w, Execution how) {
  Grid<double> grid =
      detail::sized_grid<double>(validate_call(length, window, stride, w));
  grid.rows =
      paa_tiles(ts, length, window, stride, w, detail::grid_sink(grid), how);
  return grid;
}

Grid<char> sax_grid(const double *ts, std::size_t length, std::int32_t window,
                    std::int32_t stride, std::int32_t w, std::int32_t alpha,
                    Execution how) {
  check_alphabet(alpha);
  Grid<char> grid =
      detail::sized_grid<char>(validate_call(length, window, stride, w));
  grid.rows = sax_tiles(ts, length, window, stride, w, alpha,
                        detail::grid_sink(grid), how);
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
