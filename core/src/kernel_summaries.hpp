// The index's summaries, one window per lane, for windows one value apart
// (stride 1): lane l of vector c reads window c * width + l, whose value i
// lies at base[c * width + l + i], so a tile's values load straight from the
// series. Each lane adds exactly what summarise_at adds for its window, in
// the same order. Part of kernel.hpp, compiled once per instruction set.
#pragma once

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

void summaries_kernel(const SummaryArgs &args) {
  const std::int64_t n = args.n;
  const std::int64_t w = args.w;
  const vec length = broadcast(static_cast<double>(n));
  const vec zero = broadcast(0.0);
  for (std::int64_t tile = 0; tile < args.count; tile += lanes) {
    const double *base = args.ts + args.first + tile;
    vec sum[chains], mean[chains], squares[chains], largest[chains];
    MORVEL_UNROLLED
    for (int c = 0; c < chains; ++c)
      sum[c] = zero;
    for (std::int64_t i = 0; i < n; ++i) {
      MORVEL_UNROLLED
      for (int c = 0; c < chains; ++c)
        sum[c] += load(base + c * width + i);
    }
    MORVEL_UNROLLED
    for (int c = 0; c < chains; ++c) {
      mean[c] = sum[c] / length;
      squares[c] = zero;
      largest[c] = zero;
    }
    for (std::int64_t i = 0; i < n; ++i) {
      MORVEL_UNROLLED
      for (int c = 0; c < chains; ++c) {
        const vec dev = load(base + c * width + i) - mean[c];
        squares[c] += dev * dev;
        const vec size = select(less(dev, zero), zero - dev, dev);
        largest[c] = select(less(largest[c], size), size, largest[c]);
      }
    }
    vec divisor[chains];
    MORVEL_UNROLLED
    for (int c = 0; c < chains; ++c) {
      vec deviation = zero;
      for (int l = 0; l < width; ++l)
        set_lane(deviation, l,
                 square_root(lane(squares[c], l) / static_cast<double>(n)));
      divisor[c] = length * deviation;
      const std::int64_t at = tile + c * width;
      store(args.means + at, mean[c]);
      store(args.deviations + at, deviation);
      store(args.largest + at, largest[c]);
    }
    for (std::int64_t j = 0; j < w; ++j) {
      vec acc[chains];
      MORVEL_UNROLLED
      for (int c = 0; c < chains; ++c)
        acc[c] = zero;
      for (std::int32_t f = args.feed_first[j]; f < args.feed_first[j + 1];
           ++f) {
        const vec weight = broadcast(args.feed_weights[f]);
        const double *value = base + args.feed_values[f];
        MORVEL_UNROLLED
        for (int c = 0; c < chains; ++c)
          acc[c] += weight * (load(value + c * width) - mean[c]);
      }
      MORVEL_UNROLLED
      for (int c = 0; c < chains; ++c) {
        const vec segment = acc[c] / divisor[c];
        for (int l = 0; l < width; ++l)
          args.segments[(tile + c * width + l) * w + j] = lane(segment, l);
      }
    }
  }
}

} // namespace
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
