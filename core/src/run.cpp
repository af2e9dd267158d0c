// Running a plan: one block of working memory laid out as the plan says,
// the kernels the plan chose, and each finished tile handed to the sink.
#include "morvel/plan.hpp"

#include "morvel/alphabet.hpp"

#include "kernel_interface.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace morvel {
namespace {

using detail::Cells;
using detail::SegmentArgs;
using detail::WindowArgs;

// The plan's working memory: on the stack when it fits the small buffer,
// else on the heap, failing with the system's own words.
class WorkingMemory {
public:
  explicit WorkingMemory(const Workspace &space) {
    if (space.bytes <= sizeof small_) {
      base_ = reinterpret_cast<unsigned char *>(small_);
      return;
    }
    heap_.reset(static_cast<unsigned char *>(
        ::operator new(space.bytes, std::nothrow)));
    if (!heap_)
      throw allocation_error();
    base_ = heap_.get();
  }

  template <typename T> T *at(std::size_t offset) const {
    return reinterpret_cast<T *>(base_ + offset);
  }

private:
  struct Free {
    void operator()(unsigned char *p) const { ::operator delete(p); }
  };
  double small_[inline_workspace_bytes / sizeof(double)];
  unsigned char *base_ = nullptr;
  std::unique_ptr<unsigned char, Free> heap_;
};

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

// A segment's mean from its block sum, snapped to +0.0 when tiny, stored as
// the cell the plan asks for: the mean itself or its letter.
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

// Segments from ... to - 1 of one window, the literal way: stretched
// positions from * n ... to * n - 1 as paa_segments walks them, each value
// normalised when reached.
void walk_segments(const double *x, std::int32_t n, std::int32_t w, double mean,
                   double deviation, const Cells &cells, std::size_t row,
                   std::int32_t from, std::int32_t to) {
  const double length = static_cast<double>(n);
  const std::int64_t begin = static_cast<std::int64_t>(from) * n;
  const std::int64_t end = static_cast<std::int64_t>(to) * n;
  double sum = 0.0;
  std::int64_t value = begin / w;
  auto rep = static_cast<std::int32_t>(begin % w);
  double z = (x[value] - mean) / deviation;
  std::int32_t pos = 0;
  auto segment = static_cast<std::size_t>(from);
  for (std::int64_t i = begin; i < end; ++i) {
    if (rep == w) {
      rep = 0;
      z = (x[++value] - mean) / deviation;
    }
    sum += z;
    ++rep;
    if (++pos == n) {
      pos = 0;
      store_block(cells, row * static_cast<std::size_t>(w) + segment++, sum,
                  length);
      sum = 0.0;
    }
  }
}

// One window, the literal way.
void serial_window(const double *x, std::int32_t n, std::int32_t w, double mean,
                   double deviation, const Cells &cells, std::size_t row) {
  if (w == 1) {
    // One segment: the sum of the normalised window, one value after
    // another. The values are normalised a stretch at a time, side by side
    // in vectors, which the processor overlaps with the chain of additions
    // over the stretch before.
    // Positions in 64 bits: the stretch after the last can start past the
    // 32-bit range.
    constexpr std::int64_t stretch = 256;
    double values[stretch];
    double sum = 0.0;
    for (std::int64_t from = 0; from < n; from += stretch) {
      const std::int64_t count = n - from < stretch ? n - from : stretch;
      for (std::int64_t i = 0; i < count; ++i)
        values[i] = (x[from + i] - mean) / deviation;
      for (std::int64_t i = 0; i < count; ++i)
        sum += values[i];
    }
    store_block(cells, row, sum, static_cast<double>(n));
    return;
  }
  walk_segments(x, n, w, mean, deviation, cells, row, 0, w);
}

// ---- Letters decided from a bound ------------------------------------------

// The values of a chunk: whether every one is finite and at most 2^300 in
// magnitude (the bound's range), the largest magnitude, and a shift c that
// is exact for every value. By Sterbenz's lemma y - c is exact when c / 2
// <= y <= 2c, so the chunk is shifted only when all its values lie within a
// factor 2 of its smallest (or, all negative, its largest) one; else c = 0.
struct ChunkScale {
  bool usable = false;
  double shift = 0.0;
  double largest = 0.0;
  double largest_shifted = 0.0;
};

ChunkScale scale_of(const double *x, std::int64_t span) {
  constexpr double limit = 0x1p300;
  double low = x[0];
  double high = x[0];
  bool usable = true;
  for (std::int64_t k = 0; k < span; ++k) {
    const double v = x[k];
    usable &= std::fabs(v) <= limit; // false for NaN
    low = v < low ? v : low;
    high = v > high ? v : high;
  }
  ChunkScale scale;
  if (!usable)
    return scale;
  scale.usable = true;
  if (low > 0.0 && high <= 2.0 * low)
    scale.shift = low;
  else if (high < 0.0 && low >= 2.0 * high)
    scale.shift = high;
  scale.largest =
      std::fabs(low) > std::fabs(high) ? std::fabs(low) : std::fabs(high);
  scale.largest_shifted = high - scale.shift > scale.shift - low
                              ? high - scale.shift
                              : scale.shift - low;
  return scale;
}

// The chunk's prefix sums of y = x - shift and of y^2, span + 1 of each.
void prefix_sums(const double *x, std::int64_t span, double shift, double *sums,
                 double *squares) {
  double sum = 0.0;
  double square = 0.0;
  sums[0] = 0.0;
  squares[0] = 0.0;
  for (std::int64_t k = 0; k < span; ++k) {
    const double y = x[k] - shift;
    sum += y;
    square += y * y;
    sums[k + 1] = sum;
    squares[k + 1] = square;
  }
}

void ignore_tile(void *, std::int64_t, std::int32_t) {}

// Rows first ... first + rows - 1 by the walk, into rows 0 ... rows - 1 of
// the cells: whole tiles of windows side by side, the rest one by one.
void walk_rows(const Plan &plan, const double *ts, std::int64_t first,
               std::int64_t rows, Cells cells, double *scratch) {
  const auto w = static_cast<std::int32_t>(plan.shape.columns);
  const std::int32_t n = plan.window;
  const std::int64_t lanes = plan.lanes;
  const bool tiles = plan.stride == 1 || plan.window_scratch > 0;
  std::int64_t done = 0;
  for (; tiles && done + lanes <= rows; done += lanes) {
    WindowArgs args{};
    args.ts = ts;
    args.stride = plan.stride;
    args.first = first + done;
    args.count = lanes;
    args.n = n;
    args.w = w;
    args.cells = cells;
    args.cells.letters =
        cells.letters + static_cast<std::size_t>(done) * plan.shape.columns;
    args.scratch = scratch;
    args.scratch_values = plan.window_scratch;
    args.emit = &ignore_tile;
    plan.kernels->windows(args);
  }
  for (; done < rows; ++done) {
    double mean = 0.0;
    double deviation = 0.0;
    const double *x = ts + (first + done) * plan.stride;
    moments_of<1>(x, 0, 0, n, &mean, &deviation);
    serial_window(x, n, w, mean, deviation, cells,
                  static_cast<std::size_t>(done));
  }
}

// A certified plan: each chunk's letters from the bound, the letters it
// leaves open by the walk of their own segments, or the whole chunk by the
// walk when they are many.
// With a destination, each chunk's rows are computed there, in place, and
// the sink is not called.
void run_certified(const Plan &plan, const double *ts, const Cells &tile,
                   const WorkingMemory &memory, const TileSink<char> &sink,
                   LetterTally *tally, char *destination) {
  const auto count = static_cast<std::int64_t>(plan.shape.rows);
  const auto w = static_cast<std::int32_t>(plan.shape.columns);
  const std::int32_t n = plan.window;
  const std::int64_t step = plan.stride > 1 ? plan.stride : 1;
  double *sums = memory.at<double>(plan.workspace.sums);
  double *squares = memory.at<double>(plan.workspace.squares);
  double *scratch = memory.at<double>(plan.workspace.window_scratch);
  // After a chunk the bound could not serve, the next `skip` are walked
  // without trying: a series on a large offset, say, stays so. The pause
  // doubles with each such chunk, up to 64, and ends with one served.
  std::int64_t skip = 0;
  std::int64_t pause = 1;
  for (std::int64_t first = 0; first < count; first += plan.chunk) {
    const std::int64_t rows =
        count - first < plan.chunk ? count - first : plan.chunk;
    Cells cells = tile;
    if (destination != nullptr)
      cells.letters = destination + first * w;
    const double *x = ts + first * step;
    const std::int64_t span = (rows - 1) * step + n;
    std::int64_t undecided = rows * w;
    const bool attempt = skip == 0;
    skip -= attempt ? 0 : 1;
    const ChunkScale scale = attempt ? scale_of(x, span) : ChunkScale{};
    if (scale.usable) {
      prefix_sums(x, span, scale.shift, sums, squares);
      detail::CertifiedArgs args{};
      args.sums = sums;
      args.squares = squares;
      args.largest = scale.largest;
      args.largest_shifted = scale.largest_shifted;
      args.span = span;
      args.stride = step;
      args.count = rows;
      args.n = n;
      args.w = w;
      args.cells = cells;
      plan.kernels->certified(args);
      undecided = args.undecided;
    }
    const bool whole = undecided * 8 > rows * w;
    if (attempt && whole) {
      skip = pause;
      pause = pause < 64 ? 2 * pause : 64;
    } else if (attempt) {
      pause = 1;
    }
    if (tally != nullptr) {
      const auto letters = static_cast<std::size_t>(rows * w);
      const auto walked =
          static_cast<std::size_t>(whole ? rows * w : undecided);
      tally->walked += walked;
      tally->certified += letters - walked;
    }
    if (whole) {
      walk_rows(plan, ts, first, rows, cells, scratch);
    } else if (undecided > 0) {
      // The open letters are the zero bytes; each window's moments are
      // computed once, for its first.
      const char *const begin = cells.letters;
      const char *const end = begin + rows * w;
      std::int64_t known = -1;
      double mean = 0.0;
      double deviation = 0.0;
      for (const char *open = begin;
           (open = static_cast<const char *>(std::memchr(
                open, 0, static_cast<std::size_t>(end - open)))) != nullptr;
           ++open) {
        const std::int64_t cell = open - begin;
        const std::int64_t i = cell / w;
        const auto j = static_cast<std::int32_t>(cell % w);
        const double *window = x + i * step;
        if (known != i)
          moments_of<1>(window, 0, 0, n, &mean, &deviation);
        known = i;
        walk_segments(window, n, w, mean, deviation, cells,
                      static_cast<std::size_t>(i), j, j + 1);
        if (open + 1 == end)
          break;
      }
    }
    if (destination == nullptr)
      sink(static_cast<std::size_t>(first), static_cast<std::size_t>(rows),
           cells.letters);
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
std::size_t run_plan(const Plan &plan, const double *ts, Cells cells,
                     const TileSink<T> &sink, LetterTally *tally = nullptr,
                     char *destination = nullptr) {
  if (plan.shape.rows == 0)
    return 0;
  const Shape shape = plan.shape;
  const std::int32_t window = plan.window;
  const std::int32_t stride = plan.stride;
  const auto w = static_cast<std::int32_t>(shape.columns);
  const auto count = static_cast<std::int64_t>(shape.rows);
  const WorkingMemory memory(plan.workspace);
  const std::size_t tile_cells =
      static_cast<std::size_t>(plan.tile_rows) * shape.columns;
  T *tile = memory.at<T>(plan.workspace.tile);
  // Every cell starts as the fill; a window that reports no segment keeps it.
  for (std::size_t i = 0; i < tile_cells; ++i)
    tile[i] = T{};
  if constexpr (std::is_same_v<T, double>)
    cells.means = tile;
  else
    cells.letters = tile;

  if (window == 0 || w == 0) {
    const auto rows = static_cast<std::size_t>(plan.tile_rows);
    for (std::size_t first = 0; first < shape.rows; first += rows)
      sink(first, shape.rows - first < rows ? shape.rows - first : rows, tile);
    return shape.rows;
  }

  if constexpr (std::is_same_v<T, char>) {
    if (plan.certified) {
      run_certified(plan, ts, cells, memory, sink, tally, destination);
      return shape.rows;
    }
  }

  Emitter<T> emitter{&sink, tile};
  if (plan.tiled > 0) {
    WindowArgs args{};
    args.ts = ts;
    args.stride = stride;
    args.first = 0;
    args.count = plan.tiled;
    args.n = window;
    args.w = w;
    args.cells = cells;
    args.scratch = memory.at<double>(plan.workspace.window_scratch);
    args.scratch_values = plan.window_scratch;
    args.emit = &Emitter<T>::emit;
    args.context = &emitter;
    plan.kernels->windows(args);
  }

  double *scratch = memory.at<double>(plan.workspace.segment_scratch);
  double *means = memory.at<double>(plan.workspace.means);
  double *deviations = memory.at<double>(plan.workspace.deviations);
  for (std::int64_t first = plan.tiled; first < count; first += plan.batch) {
    const std::int64_t rows =
        count - first < plan.batch ? count - first : plan.batch;
    if (plan.serial) {
      moments(ts, stride, first, rows, window, means, deviations);
      for (std::int64_t i = 0; i < rows; ++i)
        serial_window(ts + (first + i) * stride, window, w, means[i],
                      deviations[i], cells, static_cast<std::size_t>(i));
    } else {
      SegmentArgs args{};
      args.ts = ts;
      args.length = static_cast<std::int64_t>(plan.length);
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
      args.scratch_slots = plan.segment_scratch;
      plan.segment_kernels->segments(args);
    }
    sink(static_cast<std::size_t>(first), static_cast<std::size_t>(rows), tile);
  }
  return shape.rows;
}

void expect(const Plan &plan, Transform transform) {
  if (plan.transform != transform)
    throw std::logic_error("run: the plan is for the other transform");
}

} // namespace

std::size_t run(const Plan &plan, const double *ts,
                const TileSink<double> &sink) {
  expect(plan, Transform::paa);
  return run_plan<double>(plan, ts, Cells{}, sink);
}

namespace {

std::size_t run_sax(const Plan &plan, const double *ts,
                    const TileSink<char> &sink, LetterTally *tally,
                    char *destination) {
  expect(plan, Transform::sax);
  const BreakpointRow cuts = breakpoints(plan.alpha);
  Cells cells{};
  cells.cuts = cuts.values;
  cells.cut_count = cuts.size;
  cells.alpha = plan.alpha;
  cells.grid = plan.certified ? letter_grid(plan.alpha) : nullptr;
  const std::size_t rows =
      run_plan<char>(plan, ts, cells, sink, tally, destination);
  if (tally != nullptr && !plan.certified)
    tally->walked += rows * plan.shape.columns;
  return rows;
}

} // namespace

std::size_t run(const Plan &plan, const double *ts, const TileSink<char> &sink,
                LetterTally *tally) {
  return run_sax(plan, ts, sink, tally, nullptr);
}

namespace {

template <typename T> TileSink<T> copy_into(T *destination, std::size_t w) {
  return [destination, w](std::size_t first, std::size_t rows, const T *cells) {
    if (rows * w != 0)
      std::memcpy(destination + first * w, cells, rows * w * sizeof(T));
  };
}

} // namespace

std::size_t run(const Plan &plan, const double *ts, double *cells) {
  return run(plan, ts, copy_into(cells, plan.shape.columns));
}

std::size_t run(const Plan &plan, const double *ts, char *cells) {
  // Certified letters are computed in the caller's array itself; its
  // chunks are the tiles.
  return run_sax(plan, ts, copy_into(cells, plan.shape.columns), nullptr,
                 plan.certified ? cells : nullptr);
}

} // namespace morvel
