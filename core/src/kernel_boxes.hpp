// The motifs' bound between two boxes of segment means (motif_blocks.hpp),
// the segments side by side in lanes: each lane sums its own segments'
// squared gaps, then the lanes are added. The bound holds for any order of
// the sum (the slack allows for it). Part of kernel.hpp, compiled once per
// instruction set.
#pragma once

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

bool boxes_apart_kernel(const double *a, const double *b, std::int64_t w,
                        double limit) {
  const vec zero = broadcast(0.0);
  vec sums = zero;
  std::int64_t j = 0;
  for (; j + width <= w; j += width) {
    const vec above = load(b + j) - load(a + w + j);
    const vec below = load(a + j) - load(b + w + j);
    vec gap = select(less(above, below), below, above);
    gap = select(less(gap, zero), zero, gap);
    sums += gap * gap;
  }
  double sum = 0.0;
  for (int l = 0; l < width; ++l)
    sum += lane(sums, l);
  for (; j < w; ++j) {
    const double above = b[j] - a[w + j];
    const double below = a[j] - b[w + j];
    const double gap = above < below ? (below < 0.0 ? 0.0 : below)
                                     : (above < 0.0 ? 0.0 : above);
    sum += gap * gap;
  }
  return sum > limit;
}

} // namespace
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
