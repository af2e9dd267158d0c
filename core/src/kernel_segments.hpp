// Segments side by side, one (window, segment) pair per lane, for a few
// windows: their means and deviations first, then each lane adds up one
// segment's block of the stretched sequence. Part of kernel.hpp, compiled
// once per instruction set.
#pragma once

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

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

void segments_kernel(const SegmentArgs &a) {
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
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
