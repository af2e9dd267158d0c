// Running a plan: one block of working memory laid out as the plan says,
// the kernels the plan chose, and each finished tile handed to the sink.
#include "morvel/plan.hpp"

#include "morvel/alphabet.hpp"

#include "certified.hpp"
#include "kernel_interface.hpp"
#include "walk.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace morvel {
namespace {

using detail::Cells;
using detail::moments;
using detail::SegmentArgs;
using detail::serial_window;
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
      const detail::CertifiedMemory buffers{
          memory.at<double>(plan.workspace.sums),
          memory.at<double>(plan.workspace.squares),
          memory.at<double>(plan.workspace.window_scratch)};
      detail::run_certified(plan, ts, cells, buffers, sink, tally, destination);
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
