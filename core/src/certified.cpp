// The run of a certified sax plan, a chunk of windows at a time.
#include "certified.hpp"

#include "walk.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace morvel::detail {
namespace {

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
    moments(x, 0, 0, 1, n, &mean, &deviation);
    serial_window(x, n, w, mean, deviation, cells,
                  static_cast<std::size_t>(done));
  }
}

} // namespace

// A certified plan: each chunk's letters from the bound, the letters it
// leaves open by the walk of their own segments, or the whole chunk by the
// walk when they are many.
void run_certified(const Plan &plan, const double *ts, const Cells &tile,
                   const CertifiedMemory &memory, const TileSink<char> &sink,
                   LetterTally *tally, char *destination) {
  const auto count = static_cast<std::int64_t>(plan.shape.rows);
  const auto w = static_cast<std::int32_t>(plan.shape.columns);
  const std::int32_t n = plan.window;
  const std::int64_t step = plan.stride > 1 ? plan.stride : 1;
  double *sums = memory.sums;
  double *squares = memory.squares;
  double *scratch = memory.scratch;
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
          moments(window, 0, 0, 1, n, &mean, &deviation);
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

} // namespace morvel::detail
