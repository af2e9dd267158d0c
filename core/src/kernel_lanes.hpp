// The lanes of a kernel: one double per lane in `vec` (vector extensions,
// or plain C++ arrays where the compiler has none), lane-major copies
// through register transposes, and a lane's block mean and letter. Part of
// kernel.hpp, compiled once per instruction set.
#pragma once

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
typedef int whole __attribute__((vector_size(width * sizeof(int))));

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
mask not_greater(const vec &a, const vec &b) { return a <= b; }
mask invert(const mask &m) { return ~m; }
// One more in every lane where m is set (all ones, that is -1).
void count_where(index &counter, const mask &m) { counter -= m; }
long long lane(const index &v, int l) { return v[l]; }
vec select(const mask &m, const vec &a, const vec &b) {
  return (vec)(((mask)a & m) | ((mask)b & ~m));
}
// Each lane truncated to an int; every lane must be in int's range.
whole truncate(const vec &v) { return __builtin_convertvector(v, whole); }
int lane(const whole &v, int l) { return v[l]; }
double square_root(double value) { return __builtin_sqrt(value); }
double absolute(double value) { return __builtin_fabs(value); }

#else

struct vec {
  double lane[width];
};
struct mask {
  long long lane[width];
};
using index = mask;
struct whole {
  int lane[width];
};

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
mask not_greater(const vec &a, const vec &b) {
  mask r;
  MORVEL_LANEWISE(r, a.lane[l] <= b.lane[l] ? -1LL : 0LL);
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
whole truncate(const vec &v) {
  whole r;
  for (int l = 0; l < width; ++l)
    r.lane[l] = static_cast<int>(v.lane[l]);
  return r;
}
int lane(const whole &v, int l) { return v.lane[l]; }
double square_root(double value) { return std::sqrt(value); }
double absolute(double value) { return std::fabs(value); }

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
} // namespace
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
