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

// One window, the literal way: its stretched walk as paa_segments does it,
// each value normalised when reached.
void serial_window(const double *x, std::int32_t n, std::int32_t w, double mean,
                   double deviation, const Cells &cells, std::size_t row) {
  const double length = static_cast<double>(n);
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
std::size_t run_plan(const Plan &plan, const double *ts, Cells cells,
                     const TileSink<T> &sink) {
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

std::size_t run(const Plan &plan, const double *ts,
                const TileSink<char> &sink) {
  expect(plan, Transform::sax);
  const BreakpointRow cuts = breakpoints(plan.alpha);
  Cells cells{};
  cells.cuts = cuts.values;
  cells.cut_count = cuts.size;
  cells.alpha = plan.alpha;
  return run_plan<char>(plan, ts, cells, sink);
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
  return run(plan, ts, copy_into(cells, plan.shape.columns));
}

} // namespace morvel
