// The motifs' bounds (motif_blocks.hpp) between two boxes of segment means
// and between two windows' float estimates, the segments side by side in
// lanes: each lane sums its own segments' squared gaps, then the lanes are
// added. The bound holds for any order of the sum (the slack allows for
// it). Part of kernel.hpp, compiled once per instruction set.
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

bool boxes_apart_kernel(const double *a, const double *b, std::int64_t w,
                        double limit) {
  vec sums = broadcast(0.0);
  std::int64_t j = 0;
  for (; j + width <= w; j += width) {
    const vec above = load(b + j) - load(a + w + j);
    const vec below = load(a + j) - load(b + w + j);
    add_squares(sums, select(less(above, below), below, above));
  }
  double sum = lanes_total(sums);
  for (; j < w; ++j) {
    const double above = b[j] - a[w + j];
    const double below = a[j] - b[w + j];
    const double gap = above < below ? (below < 0.0 ? 0.0 : below)
                                     : (above < 0.0 ? 0.0 : above);
    sum += gap * gap;
  }
  return sum > limit;
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

vec magnitude(const vec &v) {
  const vec zero = broadcast(0.0);
  return select(less(v, zero), zero - v, v);
}

bool estimates_apart_kernel(const float *a, const float *b, std::int64_t w,
                            double error, double floor, double limit) {
  const vec errors = broadcast(error), floors = broadcast(floor);
  vec sums = broadcast(0.0);
  std::int64_t j = 0;
  for (; j + width <= w; j += width) {
    const vec x = load_floats(a + j), y = load_floats(b + j);
    add_squares(sums, magnitude(x - y) -
                          (errors * (magnitude(x) + magnitude(y)) + floors));
  }
  double sum = lanes_total(sums);
  for (; j < w; ++j) {
    const double x = a[j], y = b[j];
    const double apart = x < y ? y - x : x - y;
    const double widened =
        error * ((x < 0.0 ? -x : x) + (y < 0.0 ? -y : y)) + floor;
    const double gap = apart < widened ? 0.0 : apart - widened;
    sum += gap * gap;
  }
  return sum > limit;
}

} // namespace
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
