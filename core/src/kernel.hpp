// The sliding-window kernels, many independent sums side by side, one per
// SIMD lane. Each lane performs exactly the operations of its own sum, in the
// order of the serial reference (znormalise, then paa_segments' stretched
// sums): lanes share instructions, never the additions of one sum.
//
//  - windows_kernel: one window per lane, for many windows. Each lane runs a
//    whole window: mean, variance, then the stretched walk.
//  - segments_kernel: one (window, segment) pair per lane, for a few
//    windows. Each lane adds up one segment's block of the stretched
//    sequence; the window's mean and deviation are computed before.
//
// This file is compiled once per instruction set, each time in its own
// namespace (MORVEL_KERNEL_NAMESPACE) and with its own target flags. It must
// not call inline functions or templates from any shared header: the linker
// keeps one copy of such a function for the whole program, and that copy
// could be the one compiled for an instruction set this CPU lacks. Everything
// it needs is defined below, in an anonymous namespace.
#include "kernel_args.hpp"
#include "morvel/morvel.hpp" // the zero-snap threshold, a constant

#include <cstddef>
#include <cstdint>

#if !defined(MORVEL_KERNEL_NAMESPACE) || !defined(MORVEL_KERNEL_WIDTH) ||      \
    !defined(MORVEL_KERNEL_CHAINS)
#error "define the kernel's namespace, vector width and chain count first"
#endif

#if !defined(MORVEL_KERNEL_PLAIN) && !(defined(__GNUC__) || defined(__clang__))
#define MORVEL_KERNEL_PLAIN 1 // no vector extensions: the plain C++ lanes
#endif

#if defined(MORVEL_KERNEL_PLAIN)
#include <cmath>
#include <cstring>
#endif

// Loops over a tile's vectors must be unrolled so that each accumulator
// stays in a register.
#if defined(__GNUC__) || defined(__clang__)
#define MORVEL_UNROLLED _Pragma("GCC unroll 16")
#else
#define MORVEL_UNROLLED
#endif

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

// A tile is `chains` vectors of `width` doubles: enough independent
// accumulators to keep the adder busy while each one waits on its last sum.
constexpr int width = MORVEL_KERNEL_WIDTH;
constexpr int chains = MORVEL_KERNEL_CHAINS;
constexpr int lanes = width * chains;
static_assert(lanes <= max_kernel_lanes && 8 * width <= max_kernel_lanes,
              "the buffers hold max_kernel_lanes lanes");

// ---- Lanes ---------------------------------------------------------------
//
// `vec` holds one double per lane, `mask` one all-ones or all-zeros word per
// lane (a comparison's result), `index` one 64-bit integer per lane.

#if !defined(MORVEL_KERNEL_PLAIN)

typedef double vec __attribute__((vector_size(width * sizeof(double))));
typedef long long mask __attribute__((vector_size(width * sizeof(double))));
typedef long long index __attribute__((vector_size(width * sizeof(double))));

vec broadcast(double value) { return vec{} + value; }
index broadcast_index(long long value) { return index{} + value; }
vec load(const double *from) {
  vec v;
  __builtin_memcpy(&v, from, sizeof v);
  return v;
}
void store(double *to, const vec &v) { __builtin_memcpy(to, &v, sizeof v); }
double lane(const vec &v, int l) { return v[l]; }
void set_lane(vec &v, int l, double value) { v[l] = value; }
void set_lane(index &v, int l, long long value) { v[l] = value; }
mask less(const vec &a, const vec &b) { return a < b; }
mask less(const index &a, const index &b) { return a < b; }
mask both(const mask &a, const mask &b) { return a & b; }
mask invert(const mask &m) { return ~m; }
// One more in every lane where m is set (all ones, that is -1).
void count_where(index &counter, const mask &m) { counter -= m; }
long long lane(const index &v, int l) { return v[l]; }
vec select(const mask &m, const vec &a, const vec &b) {
  return (vec)(((mask)a & m) | ((mask)b & ~m));
}
double square_root(double value) { return __builtin_sqrt(value); }

#else

struct vec {
  double lane[width];
};
struct mask {
  long long lane[width];
};
using index = mask;

vec broadcast(double value) {
  vec v;
  for (int l = 0; l < width; ++l)
    v.lane[l] = value;
  return v;
}
index broadcast_index(long long value) {
  index v;
  for (int l = 0; l < width; ++l)
    v.lane[l] = value;
  return v;
}
vec load(const double *from) {
  vec v;
  std::memcpy(v.lane, from, sizeof v.lane);
  return v;
}
void store(double *to, const vec &v) { std::memcpy(to, v.lane, sizeof v.lane); }
double lane(const vec &v, int l) { return v.lane[l]; }
void set_lane(vec &v, int l, double value) { v.lane[l] = value; }
void set_lane(index &v, int l, long long value) { v.lane[l] = value; }
#define MORVEL_LANEWISE(result, expression)                                    \
  for (int l = 0; l < width; ++l)                                              \
  result.lane[l] = expression
vec operator+(const vec &a, const vec &b) {
  vec r;
  MORVEL_LANEWISE(r, a.lane[l] + b.lane[l]);
  return r;
}
vec operator-(const vec &a, const vec &b) {
  vec r;
  MORVEL_LANEWISE(r, a.lane[l] - b.lane[l]);
  return r;
}
vec operator*(const vec &a, const vec &b) {
  vec r;
  MORVEL_LANEWISE(r, a.lane[l] * b.lane[l]);
  return r;
}
vec operator/(const vec &a, const vec &b) {
  vec r;
  MORVEL_LANEWISE(r, a.lane[l] / b.lane[l]);
  return r;
}
vec &operator+=(vec &a, const vec &b) { return a = a + b; }
mask less(const vec &a, const vec &b) {
  mask r;
  MORVEL_LANEWISE(r, a.lane[l] < b.lane[l] ? -1LL : 0LL);
  return r;
}
mask less(const index &a, const index &b) {
  mask r;
  MORVEL_LANEWISE(r, a.lane[l] < b.lane[l] ? -1LL : 0LL);
  return r;
}
mask both(const mask &a, const mask &b) {
  mask r;
  MORVEL_LANEWISE(r, a.lane[l] & b.lane[l]);
  return r;
}
mask invert(const mask &m) {
  mask r;
  MORVEL_LANEWISE(r, ~m.lane[l]);
  return r;
}
void count_where(index &counter, const mask &m) {
  MORVEL_LANEWISE(counter, counter.lane[l] + (m.lane[l] != 0 ? 1 : 0));
}
long long lane(const index &v, int l) { return v.lane[l]; }
vec select(const mask &m, const vec &a, const vec &b) {
  vec r;
  MORVEL_LANEWISE(r, m.lane[l] != 0 ? a.lane[l] : b.lane[l]);
  return r;
}
#undef MORVEL_LANEWISE
double square_root(double value) { return std::sqrt(value); }

#endif

// ---- Lane-major copies
// -------------------------------------------------------
//
// copy_lanes(sources, count, out, stride): out[k * stride + l] = sources[l][k]
// for `width` lanes and k < count. Blocks of width x width values go through
// registers, transposed by shuffles; the rest one value at a time.

#if !defined(MORVEL_KERNEL_PLAIN) && defined(__has_builtin)
#if __has_builtin(__builtin_shufflevector)
#define MORVEL_KERNEL_SHUFFLES 1
#endif
#endif

#if defined(MORVEL_KERNEL_SHUFFLES)
#define S __builtin_shufflevector
#if MORVEL_KERNEL_WIDTH == 2
void transpose(vec (&r)[width]) {
  const vec a = r[0], b = r[1];
  r[0] = S(a, b, 0, 2);
  r[1] = S(a, b, 1, 3);
}
#elif MORVEL_KERNEL_WIDTH == 4
void transpose(vec (&r)[width]) {
  const vec t0 = S(r[0], r[1], 0, 4, 1, 5), t1 = S(r[0], r[1], 2, 6, 3, 7);
  const vec t2 = S(r[2], r[3], 0, 4, 1, 5), t3 = S(r[2], r[3], 2, 6, 3, 7);
  r[0] = S(t0, t2, 0, 1, 4, 5);
  r[1] = S(t0, t2, 2, 3, 6, 7);
  r[2] = S(t1, t3, 0, 1, 4, 5);
  r[3] = S(t1, t3, 2, 3, 6, 7);
}
#elif MORVEL_KERNEL_WIDTH == 8
void transpose(vec (&r)[width]) {
  vec t[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = S(r[i], r[i + 1], 0, 8, 1, 9, 2, 10, 3, 11);
    t[i + 1] = S(r[i], r[i + 1], 4, 12, 5, 13, 6, 14, 7, 15);
  }
  vec u[8];
  for (int i = 0; i < 8; i += 4) {
    u[i] = S(t[i], t[i + 2], 0, 1, 8, 9, 2, 3, 10, 11);
    u[i + 1] = S(t[i], t[i + 2], 4, 5, 12, 13, 6, 7, 14, 15);
    u[i + 2] = S(t[i + 1], t[i + 3], 0, 1, 8, 9, 2, 3, 10, 11);
    u[i + 3] = S(t[i + 1], t[i + 3], 4, 5, 12, 13, 6, 7, 14, 15);
  }
  for (int i = 0; i < 4; ++i) {
    r[2 * i] = S(u[i], u[i + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    r[2 * i + 1] = S(u[i], u[i + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}
#else
#undef MORVEL_KERNEL_SHUFFLES
#endif
#undef S
#endif

// Rows [from, to) of `width` lanes.
void copy_rows(const double *const *sources, std::int64_t from, std::int64_t to,
               double *out, std::int64_t stride) {
  for (std::int64_t k = from; k < to; ++k)
    for (int l = 0; l < width; ++l)
      out[k * stride + l] = sources[l][k];
}

void copy_lanes(const double *const *sources, std::int64_t count, double *out,
                std::int64_t stride) {
  std::int64_t k = 0;
#if defined(MORVEL_KERNEL_SHUFFLES)
  for (; k + width <= count; k += width) {
    vec block[width];
    for (int l = 0; l < width; ++l)
      block[l] = load(sources[l] + k);
    transpose(block);
    for (int i = 0; i < width; ++i)
      store(out + (k + i) * stride, block[i]);
  }
#endif
  copy_rows(sources, k, count, out, stride);
}

// ---- Block means -----------------------------------------------------------

// The segment mean of each lane's block sum: one division, then |mean| below
// the zero-snap threshold (false for NaN) becomes +0.0.
vec block_mean(const vec &sum, const vec &length) {
  const vec mean = sum / length;
  const vec threshold = broadcast(zero_snap_threshold);
  const mask tiny =
      both(less(mean, threshold), less(broadcast(0.0) - threshold, mean));
  return select(tiny, broadcast(0.0), mean);
}

// The upper bound of a mean among the ascending cuts, as a letter: 'a' plus
// the number of cuts not greater than the mean (all of them for NaN), the
// position the binary search of letter_for ends at.
char letter(double mean, const double *cuts, std::int32_t cut_count) {
  int position = 0;
  for (std::int32_t k = 0; k < cut_count; ++k)
    position += !(cuts[k] > mean);
  return static_cast<char>('a' + position);
}

// The same, for every lane of a vector of means at once.
void letters(const vec &mean, const double *cuts, std::int32_t cut_count,
             char (&out)[width]) {
  index position = broadcast_index(0);
  for (std::int32_t k = 0; k < cut_count; ++k)
    count_where(position, invert(less(mean, broadcast(cuts[k]))));
  for (int l = 0; l < width; ++l)
    out[l] = static_cast<char>('a' + lane(position, l));
}

void store_cell(const Cells &cells, std::size_t at, double mean) {
  if (cells.means != nullptr)
    cells.means[at] = mean;
  else
    cells.letters[at] = letter(mean, cells.cuts, cells.cut_count);
}

// ---- Windows side by side
// ----------------------------------------------------

// Value k of every lane's window, `chains` vectors at a time: straight from
// the series when the tile's windows are contiguous neighbours, otherwise
// from a lane-major copy made a chunk of values at a time.
struct WindowSource {
  const double *ts;
  std::int64_t starts[lanes];
  bool contiguous;
  double *scratch;
  std::int64_t capacity;
  std::int64_t n;
  std::int64_t begin = 0;
  std::int64_t end = 0; // the chunk in scratch: values [begin, end)

  void load_values(std::int64_t k, vec (&out)[chains]) {
    if (contiguous) {
      const double *first = ts + starts[0] + k;
      MORVEL_UNROLLED for (int c = 0; c < chains; ++c) {
        out[c] = load(first + c * width);
      }
      return;
    }
    if (k < begin || k >= end)
      copy_chunk(k);
    const double *row = scratch + (k - begin) * lanes;
    MORVEL_UNROLLED for (int c = 0; c < chains; ++c) {
      out[c] = load(row + c * width);
    }
  }

  void copy_chunk(std::int64_t from) { copy_chunk(from, nullptr); }

  // With `sums`, each lane's values are also added up, in order, as they
  // pass through the registers: the mean's pass, without reading the copy.
  void copy_chunk(std::int64_t from, vec (*sums)[chains]) {
    begin = from;
    end = n - from < capacity ? n : from + capacity;
    const std::int64_t rows = end - begin;
    const double *sources[lanes];
    for (int l = 0; l < lanes; ++l)
      sources[l] = ts + starts[l] + begin;
    std::int64_t k = 0;
#if defined(MORVEL_KERNEL_SHUFFLES)
    for (; k + width <= rows; k += width)
      MORVEL_UNROLLED for (int c = 0; c < chains; ++c) {
        vec block[width];
        for (int l = 0; l < width; ++l)
          block[l] = load(sources[c * width + l] + k);
        transpose(block);
        for (int i = 0; i < width; ++i) {
          store(scratch + (k + i) * lanes + c * width, block[i]);
          if (sums != nullptr)
            (*sums)[c] += block[i];
        }
      }
#endif
    for (int c = 0; c < chains; ++c)
      copy_rows(sources + c * width, k, rows, scratch + c * width, lanes);
    if (sums != nullptr)
      for (; k < rows; ++k)
        MORVEL_UNROLLED for (int c = 0; c < chains; ++c) {
          (*sums)[c] += load(scratch + k * lanes + c * width);
        }
  }
};

void windows_kernel_impl(const WindowArgs &a) {
  const vec length = broadcast(static_cast<double>(a.n));
  const vec zero = broadcast(0.0);
  const auto columns = static_cast<std::size_t>(a.w);
  const std::int64_t n = a.n;
  const std::int64_t w = a.w;

  for (std::int64_t tile = 0; tile < a.count; tile += lanes) {
    WindowSource source{};
    source.ts = a.ts;
    for (int l = 0; l < lanes; ++l)
      source.starts[l] = (a.first + tile + l) * a.stride;
    source.contiguous = a.stride == 1;
    source.scratch = a.scratch;
    source.capacity = a.scratch_values;
    source.n = n;

    // z-normalisation, as znormalise: mean, population variance, sd.
    vec x[chains];
    vec sum[chains];
    MORVEL_UNROLLED for (int c = 0; c < chains; ++c) { sum[c] = zero; }
    if (!source.contiguous && n <= source.capacity) {
      source.copy_chunk(0, &sum); // the whole window fits: one copy
    } else {
      for (std::int64_t k = 0; k < n; ++k) {
        source.load_values(k, x);
        MORVEL_UNROLLED for (int c = 0; c < chains; ++c) { sum[c] += x[c]; }
      }
    }
    vec mean[chains];
    vec squares[chains];
    MORVEL_UNROLLED for (int c = 0; c < chains; ++c) {
      mean[c] = sum[c] / length;
      squares[c] = zero;
    }
    for (std::int64_t k = 0; k < n; ++k) {
      source.load_values(k, x);
      MORVEL_UNROLLED for (int c = 0; c < chains; ++c) {
        const vec deviation = x[c] - mean[c];
        squares[c] += deviation * deviation;
      }
    }
    vec sd[chains] = {};
    MORVEL_UNROLLED for (int c = 0; c < chains; ++c) {
      const vec variance = squares[c] / length;
      for (int l = 0; l < width; ++l)
        set_lane(sd[c], l, square_root(lane(variance, l)));
    }

    // The stretched walk, as paa_segments: value k repeated w times, cut
    // into blocks of n samples, each value normalised as it is first
    // reached, (value - mean) / sd as znormalise does. The next value is
    // normalised while the adder works on the current one.
    vec block[chains];
    vec z[chains];
    vec z_next[chains];
    MORVEL_UNROLLED for (int c = 0; c < chains; ++c) { block[c] = z[c] = zero; }
    source.load_values(0, x);
    MORVEL_UNROLLED for (int c = 0; c < chains; ++c) {
      z_next[c] = (x[c] - mean[c]) / sd[c];
    }
    std::int64_t value = -1;
    std::int64_t value_end = 0;
    std::int64_t block_end = n;
    std::int64_t position = 0;
    std::size_t segment = 0;
    const std::int64_t total = n * w;
    while (position < total) {
      if (position == value_end) {
        ++value;
        value_end += w;
        MORVEL_UNROLLED for (int c = 0; c < chains; ++c) { z[c] = z_next[c]; }
        if (value + 1 < n) {
          source.load_values(value + 1, x);
          MORVEL_UNROLLED for (int c = 0; c < chains; ++c) {
            z_next[c] = (x[c] - mean[c]) / sd[c];
          }
        }
      }
      const std::int64_t end = value_end < block_end ? value_end : block_end;
      for (std::int64_t i = position; i < end; ++i)
        MORVEL_UNROLLED for (int c = 0; c < chains; ++c) { block[c] += z[c]; }
      position = end;
      if (position != block_end)
        continue;
      block_end += n;
      MORVEL_UNROLLED for (int c = 0; c < chains; ++c) {
        const vec segment_mean = block_mean(block[c], length);
        block[c] = zero;
        const std::size_t first_cell =
            static_cast<std::size_t>(c * width) * columns + segment;
        if (a.cells.means != nullptr) {
          for (int l = 0; l < width; ++l)
            a.cells.means[first_cell + static_cast<std::size_t>(l) * columns] =
                lane(segment_mean, l);
        } else {
          char codes[width];
          letters(segment_mean, a.cells.cuts, a.cells.cut_count, codes);
          for (int l = 0; l < width; ++l)
            a.cells
                .letters[first_cell + static_cast<std::size_t>(l) * columns] =
                codes[l];
        }
      }
      ++segment;
    }
    a.emit(a.context, a.first + tile, lanes);
  }
}

// ---- Segments side by side
// ---------------------------------------------------

// One group of `vectors` * width lanes, each lane a (window, segment) pair.
//
// Segment j of a window adds up positions j*n ... j*n + n - 1 of the
// stretched sequence, where position p holds value p / w. Lane j starts at
// value k0 = j*n / w, of whose w repetitions phase = j*n % w were used by
// the segment before. When w < n every lane is shifted to start `phase`
// steps late: then all lanes move to their next value together, every w
// steps, and step T adds value k0 + T / w, for the lanes whose own n steps
// include T (phase <= T < phase + n). When w >= n a segment holds at most two
// values: the first one min(n, w - phase) times, then the next.
template <int vectors> struct SegmentGroup {
  static constexpr int group_lanes = vectors * width;

  const SegmentArgs &a;
  std::int64_t first_pair;
  int valid;
  const double *base[group_lanes];    // each lane's value k0
  std::int64_t readable[group_lanes]; // values readable from base
  std::int64_t phase[group_lanes];
  double lane_mean[group_lanes];
  double lane_deviation[group_lanes];
  std::size_t cell[group_lanes]; // where each lane's mean goes

  SegmentGroup(const SegmentArgs &args, std::int64_t first, int count)
      : a(args), first_pair(first), valid(count) {
    const std::int64_t n = a.n;
    const std::int64_t w = a.w;
    for (int l = 0; l < group_lanes; ++l) {
      // Idle lanes read nothing and normalise zeros to zeros.
      base[l] = nullptr;
      readable[l] = 0;
      phase[l] = 0;
      lane_mean[l] = 0.0;
      lane_deviation[l] = 1.0;
      cell[l] = 0;
      if (l >= valid)
        continue;
      const std::int64_t pair = first_pair + l;
      const std::int64_t window = pair / w;
      const std::int64_t segment = pair % w;
      const std::int64_t start = segment * n;
      base[l] = a.ts + (a.first + window) * a.stride + start / w;
      readable[l] = n - start / w;
      phase[l] = start % w;
      lane_mean[l] = a.window_means[window];
      lane_deviation[l] = a.window_deviations[window];
      cell[l] = static_cast<std::size_t>(pair);
    }
  }

  // Row s of lane l's values k0 + from + s, for `slots` rows, each as
  // `vectors` vectors in scratch, not yet normalised. A lane past its
  // window's end repeats its last value, which it never adds; idle lanes
  // hold zeros.
  void copy_slots(std::int64_t from, std::int64_t slots, double *rows) const {
    // A vector's lanes at a time; rows where every lane of it still has its
    // own values, transposed in registers, the rest one value at a time.
    for (int v = 0; v < vectors; ++v) {
      const double *sources[width];
      std::int64_t whole = slots;
      bool idle = true;
      for (int l = 0; l < width; ++l) {
        const int g = v * width + l;
        if (g >= valid) {
          sources[l] = nullptr;
          whole = 0;
          continue;
        }
        idle = false;
        sources[l] = base[g] + from;
        const std::int64_t left = readable[g] - from;
        whole = left < whole ? (left > 0 ? left : 0) : whole;
      }
      double *out = rows + v * width;
      if (idle) {
        for (std::int64_t s = 0; s < slots; ++s)
          store(out + s * group_lanes, broadcast(0.0));
        continue;
      }
      if (whole > 0)
        copy_lanes(sources, whole, out, group_lanes);
      for (std::int64_t s = whole; s < slots; ++s)
        for (int l = 0; l < width; ++l) {
          const int g = v * width + l;
          out[s * group_lanes + l] =
              g >= valid ? 0.0
                         : base[g][from + s < readable[g] ? from + s
                                                          : readable[g] - 1];
        }
    }
  }

  // Row s, normalised as znormalise does: (value - mean) / sd, each lane
  // with its own window's.
  void normalised(const double *row, const vec (&mean)[vectors],
                  const vec (&deviation)[vectors], vec (&out)[vectors]) const {
    MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
      out[v] = v * width < valid
                   ? (load(row + v * width) - mean[v]) / deviation[v]
                   : broadcast(0.0);
    }
  }

  void finish(const vec (&sum)[vectors]) const {
    const vec length = broadcast(static_cast<double>(a.n));
    MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
      const vec segment_mean = block_mean(sum[v], length);
      for (int l = 0; l < width && v * width + l < valid; ++l)
        store_cell(a.cells, cell[v * width + l], lane(segment_mean, l));
    }
  }

  void run() const {
    vec sum[vectors];
    vec mean[vectors];
    vec deviation[vectors];
    MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
      sum[v] = broadcast(0.0);
      mean[v] = load(lane_mean + v * width);
      deviation[v] = load(lane_deviation + v * width);
    }
    if (a.w >= a.n)
      run_two_values(sum, mean, deviation);
    else
      run_shifted(sum, mean, deviation);
    finish(sum);
  }

  void run_two_values(vec (&sum)[vectors], const vec (&mean)[vectors],
                      const vec (&deviation)[vectors]) const {
    double *rows = a.scratch;
    copy_slots(0, 2, rows);
    vec first[vectors];
    vec second[vectors];
    normalised(rows, mean, deviation, first);
    normalised(rows + group_lanes, mean, deviation, second);
    index first_repeats[vectors];
    MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
      first_repeats[v] = broadcast_index(0);
      for (int l = 0; l < width; ++l) {
        const std::int64_t left = a.w - phase[v * width + l];
        set_lane(first_repeats[v], l, left < a.n ? left : a.n);
      }
    }
    for (std::int64_t t = 0; t < a.n; ++t) {
      const index step = broadcast_index(t);
      MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
        sum[v] += select(less(step, first_repeats[v]), first[v], second[v]);
      }
    }
  }

  void run_shifted(vec (&sum)[vectors], const vec (&mean)[vectors],
                   const vec (&deviation)[vectors]) const {
    const std::int64_t n = a.n;
    const std::int64_t w = a.w;
    std::int64_t earliest = w;
    std::int64_t latest = 0;
    index start[vectors] = {};
    index stop[vectors] = {};
    MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
      start[v] = stop[v] = broadcast_index(0);
      for (int l = 0; l < width; ++l) {
        const int g = v * width + l;
        const std::int64_t p = g < valid ? phase[g] : phase[0];
        earliest = p < earliest ? p : earliest;
        latest = p > latest ? p : latest;
        set_lane(start[v], l, p);
        set_lane(stop[v], l, p + n);
      }
    }
    const std::int64_t slots = (latest + n + w - 1) / w;
    const std::int64_t chunk = a.scratch_slots;
    for (std::int64_t from = 0; from < slots; from += chunk) {
      const std::int64_t count = slots - from < chunk ? slots - from : chunk;
      copy_slots(from, count, a.scratch);
      vec value[vectors];
      vec next[vectors];
      normalised(a.scratch, mean, deviation, next);
      for (std::int64_t s = 0; s < count; ++s) {
        // Normalising the next value overlaps the adds of this one.
        MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
          value[v] = next[v];
        }
        if (s + 1 < count)
          normalised(a.scratch + (s + 1) * group_lanes, mean, deviation, next);
        const std::int64_t t0 = (from + s) * w;
        if (t0 >= latest && t0 + w <= earliest + n) {
          // Every lane adds this value w times.
          for (std::int64_t i = 0; i < w; ++i)
            MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
              sum[v] += value[v];
            }
          continue;
        }
        for (std::int64_t i = 0; i < w; ++i) {
          const index step = broadcast_index(t0 + i);
          MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
            // Lanes outside their own n steps keep their sum unchanged.
            const mask adds =
                both(less(step, stop[v]), invert(less(step, start[v])));
            sum[v] = select(adds, sum[v] + value[v], sum[v]);
          }
        }
      }
    }
  }
};

// Groups of up to eight vectors: eight independent sums in flight keep the
// adder busy through its latency.
constexpr int segment_vectors = 8;

// The means and standard deviations of `count` windows (at most
// segment_vectors * width) starting with window `from`, one window per lane,
// as znormalise computes them: one ordered chain for the sum and one for the
// squares. Windows that are contiguous neighbours are read a vector at a
// time, as long as every lane's value lies inside the series.
template <int vectors>
void window_moments(const SegmentArgs &a, std::int64_t from, int count) {
  constexpr int group_lanes = vectors * width;
  const std::int64_t n = a.n;
  const vec length = broadcast(static_cast<double>(a.n));
  const double *start[group_lanes];
  for (int l = 0; l < group_lanes; ++l)
    start[l] = a.ts + (a.first + from + (l < count ? l : count - 1)) * a.stride;
  // Up to here, the vectors starting at start[0] stay inside the series.
  std::int64_t vector_end = 0;
  if (a.stride == 1) {
    const std::int64_t last_lane = a.first + from + group_lanes - 1;
    vector_end = a.length - last_lane;
    vector_end = vector_end < 0 ? 0 : vector_end > n ? n : vector_end;
  }
  vec x[vectors];
  MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) { x[v] = broadcast(0.0); }
  auto values = [&](std::int64_t k) {
    if (k < vector_end) {
      MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
        x[v] = load(start[0] + v * width + k);
      }
    } else {
      for (int l = 0; l < count; ++l)
        set_lane(x[l / width], l % width, start[l][k]);
    }
  };
  vec sum[vectors];
  MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) { sum[v] = broadcast(0.0); }
  for (std::int64_t k = 0; k < n; ++k) {
    values(k);
    MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) { sum[v] += x[v]; }
  }
  vec mean[vectors];
  vec squares[vectors];
  MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
    mean[v] = sum[v] / length;
    squares[v] = broadcast(0.0);
  }
  for (std::int64_t k = 0; k < n; ++k) {
    values(k);
    MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
      const vec deviation = x[v] - mean[v];
      squares[v] += deviation * deviation;
    }
  }
  MORVEL_UNROLLED for (int v = 0; v < vectors; ++v) {
    const vec variance = squares[v] / length;
    for (int l = 0; l < width && v * width + l < count; ++l) {
      a.window_means[from + v * width + l] = lane(mean[v], l);
      a.window_deviations[from + v * width + l] =
          square_root(lane(variance, l));
    }
  }
}

void segments_kernel_impl(const SegmentArgs &a) {
  for (std::int64_t from = 0; !a.moments_known && from < a.count;
       from += segment_vectors * width) {
    const std::int64_t left = a.count - from;
    const int take = left < segment_vectors * width ? static_cast<int>(left)
                                                    : segment_vectors * width;
    if (take <= width)
      window_moments<1>(a, from, take);
    else if (take <= 2 * width)
      window_moments<2>(a, from, take);
    else if (take <= 4 * width)
      window_moments<4>(a, from, take);
    else
      window_moments<segment_vectors>(a, from, take);
  }

  const std::int64_t pairs = a.count * a.w;
  std::int64_t pair = 0;
  while (pair < pairs) {
    const std::int64_t left = pairs - pair;
    const int take = left < segment_vectors * width ? static_cast<int>(left)
                                                    : segment_vectors * width;
    if (take <= width)
      SegmentGroup<1>(a, pair, take).run();
    else if (take <= 2 * width)
      SegmentGroup<2>(a, pair, take).run();
    else if (take <= 4 * width)
      SegmentGroup<4>(a, pair, take).run();
    else
      SegmentGroup<segment_vectors>(a, pair, take).run();
    pair += take;
  }
}

} // namespace

void windows_kernel(const WindowArgs &args) { windows_kernel_impl(args); }
void segments_kernel(const SegmentArgs &args) { segments_kernel_impl(args); }

} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE

#undef MORVEL_UNROLLED
