// The motifs' bounds (motif_blocks.hpp): between boxes of segment means,
// the segments side by side in lanes (each lane sums its own segments'
// squared gaps, then the lanes are added: the bound holds for any order of
// the sum, the slack allows for it); and between the float estimates of
// two blocks' windows, a window a lane. Part of kernel.hpp, compiled once
// per instruction set.
#pragma once

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

// The lanes' gaps, a negative one as 0, squared into sums.
void add_squares(vec &sums, vec gap) {
  const vec zero = broadcast(0.0);
  gap = select(less(gap, zero), zero, gap);
  sums += gap * gap;
}

// Pairwise, so that the additions of a level wait on none of each other.
double lanes_total(const vec &sums) {
  double part[width];
  for (int l = 0; l < width; ++l)
    part[l] = lane(sums, l);
  for (int half = width / 2; half > 0; half /= 2)
    for (int l = 0; l < half; ++l)
      part[l] += part[l + half];
  return part[0];
}

#if !defined(MORVEL_KERNEL_PLAIN)
typedef float floats __attribute__((vector_size(width * sizeof(float))));
vec load_floats(const float *from) {
  floats f;
  __builtin_memcpy(&f, from, sizeof f);
  return __builtin_convertvector(f, vec);
}
#else
vec load_floats(const float *from) {
  vec v;
  for (int l = 0; l < width; ++l)
    v.lane[l] = from[l];
  return v;
}
#endif

// The gap of segments j ... from box a to box b: the larger of b's low
// above a's high and a's low above b's high (negative where they overlap).
vec box_gap(const float *a, const float *b, std::int64_t w, std::int64_t j) {
  const vec above = load_floats(b + j) - load_floats(a + w + j);
  const vec below = load_floats(a + j) - load_floats(b + w + j);
  return select(less(above, below), below, above);
}

double box_gap_at(const float *a, const float *b, std::int64_t w,
                  std::int64_t j) {
  const double above = static_cast<double>(b[j]) - a[w + j];
  const double below = static_cast<double>(a[j]) - b[w + j];
  const double gap = above < below ? below : above;
  return gap < 0.0 ? 0.0 : gap;
}

// Boxes a[0], a[1] against b[0], b[1], side by side in memory: the four
// sums kept apart, so that each one's additions overlap the others'.
unsigned boxes_apart_kernel(const float *a, const float *b, std::int64_t w,
                            double limit) {
  const float *boxes_a[2] = {a, a + 2 * w}, *boxes_b[2] = {b, b + 2 * w};
  vec sums[4];
  for (vec &sum : sums)
    sum = broadcast(0.0);
  std::int64_t j = 0;
  for (; j + width <= w; j += width)
    for (int i = 0; i < 2; ++i)
      for (int k = 0; k < 2; ++k)
        add_squares(sums[2 * i + k], box_gap(boxes_a[i], boxes_b[k], w, j));
  unsigned bits = 0;
  for (int i = 0; i < 2; ++i)
    for (int k = 0; k < 2; ++k) {
      double sum = lanes_total(sums[2 * i + k]);
      for (std::int64_t t = j; t < w; ++t) {
        const double gap = box_gap_at(boxes_a[i], boxes_b[k], w, t);
        sum += gap * gap;
      }
      if (sum > limit)
        bits |= 1u << (2 * i + k);
    }
  return bits;
}

// A block's eight windows against another's, a window of b a lane, in
// 8 / width vectors of lanes, the eight windows of a side by side so that
// their sums' additions overlap.
std::uint64_t estimates_apart_kernel(const float *a, const float *b,
                                     std::int64_t w, double limit) {
  constexpr int block_windows = 8;
  constexpr int parts = block_windows / width;
  static_assert(parts * width == block_windows, "lanes divide a block");
  vec sums[block_windows][parts];
  for (auto &row : sums)
    for (vec &sum : row)
      sum = broadcast(0.0);
  for (std::int64_t j = 0; j < w; ++j) {
    vec y[parts];
    for (int p = 0; p < parts; ++p)
      y[p] = load_floats(b + j * block_windows + p * width);
    for (int k = 0; k < block_windows; ++k) {
      const vec x = broadcast(a[j * block_windows + k]);
      for (int p = 0; p < parts; ++p) {
        const vec gap = x - y[p];
        sums[k][p] += gap * gap;
      }
    }
  }
  std::uint64_t bits = 0;
  for (int k = 0; k < block_windows; ++k)
    for (int p = 0; p < parts; ++p)
      for (int l = 0; l < width; ++l)
        if (lane(sums[k][p], l) > limit)
          bits |= std::uint64_t{1} << (8 * k + p * width + l);
  return bits;
}

} // namespace
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
