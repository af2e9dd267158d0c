// What the index's build, its search and its brute force share about one
// window: its moments exactly as znormalise computes them, the estimate of
// its segment means that chooses its word, whether the bounds may speak for
// it, and its exact distance to a query.
//
// The word's bound. Let mu, sd be a window's computed moments, dev_i = x_i -
// mu, Y_i = dev_i / sd in exact arithmetic and Z_i the computed
// fl(fl(x_i - mu) / sd) the distance reads, |Z_i - Y_i| <= 2.0001u|Y_i|.
// Segment j's mean of Y with the stretched weights c_ij (value i repeated w
// times, blocks of n; sum_i c_ij = n, sum_j c_ij = w) is s_j = sum_i c_ij
// dev_i / (n sd). The estimate fl(fl(sum_i fl(c_ij fl(dev_i))) / fl(n sd))
// adds at most n / w + 2 terms, each bounded by c_ij max|dev|, so
//   |estimate_j - s_j| <= gamma_{n/w+5} max|Y| <= gamma_{n/w+5} B (1 + u)^2
// for a window whose computed scale fl(max|dev| / sd) is at most B =
// 2 sqrt(n); segment_error allows about twice that. Every window with a
// finite, nonzero sd has a scale near sqrt(n) at most (a nonzero sd is at
// least 2^-537, so underflow moves it little); a window whose squares
// overflow (sd = inf, every Z_i 0) is computed by every query instead.
#pragma once

#include "kernel_interface.hpp"
#include "morvel/alphabet.hpp"
#include "morvel/index.hpp"
#include "rounding.hpp"
#include "window_moments.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace morvel::detail {

// How the values of a window of n values feed the segments of w <= n:
// value i with weight c_ij into segment j, every pair in segment order.
struct Feed {
  std::int32_t value;
  double weight;
};
struct Feeds {
  std::vector<Feed> feeds;
  std::vector<std::int32_t> first; // segment j's are first[j] ... first[j+1]-1
};

inline Feeds segment_feeds(std::int64_t n, std::int64_t w) {
  Feeds result;
  result.first.push_back(0);
  for (std::int64_t j = 0; j < w; ++j) {
    // Segment j is stretched positions j n ... (j + 1) n - 1; value i fills
    // i w ... (i + 1) w - 1.
    for (std::int64_t i = j * n / w; i < n && i * w < (j + 1) * n; ++i) {
      const std::int64_t low = std::max(i * w, j * n);
      const std::int64_t high = std::min((i + 1) * w, (j + 1) * n);
      if (high > low)
        result.feeds.push_back(
            {static_cast<std::int32_t>(i), static_cast<double>(high - low)});
    }
    result.first.push_back(static_cast<std::int32_t>(result.feeds.size()));
  }
  return result;
}

// The bound on |estimate_j - s_j| of a window, or of a query whose
// fl(max|dev| / sd) is `scale`.
inline double segment_error(std::int64_t n, double scale) {
  // 2 gamma_{n+8} exceeds the 2 (n + 8) u (1 + 4u) it must by more than the
  // rounding of this product.
  return 2.0 * relative_error(static_cast<double>(n + 8)) * scale *
         (1.0 + 4.0 * unit_roundoff);
}

// A window's moments and the estimate of its segment means.
struct Summary {
  double mean;
  double deviation;
  double scale; // fl(max|dev| / sd)
  WindowKind kind;
};

// K windows at once, their ordered chains interleaved: moments, then the
// estimate of each segment mean into segments[k * w + j]; window k's value
// i is at(k, i). The summaries kernel adds the same, lane by lane.
template <int K, typename At>
void summarise_at(const At &at, std::int64_t n, std::int64_t w,
                  const Feeds &feeds, Summary *out, double *segments) {
  const double length = static_cast<double>(n);
  double mean[K], deviation[K], largest[K], divisor[K];
  window_moments<K, true>(at, n, mean, deviation, largest);
  for (int k = 0; k < K; ++k) {
    const double scale = largest[k] / deviation[k];
    out[k] = {mean[k], deviation[k], scale,
              window_kind(deviation[k], largest[k], scale, n)};
    divisor[k] = length * deviation[k];
  }
  const Feed *feed = feeds.feeds.data();
  for (std::int64_t j = 0; j < w; ++j) {
    double acc[K];
    for (int k = 0; k < K; ++k)
      acc[k] = 0.0;
    for (std::int32_t f = feeds.first[j]; f < feeds.first[j + 1]; ++f)
      for (int k = 0; k < K; ++k)
        acc[k] += feed[f].weight * (at(k, feed[f].value) - mean[k]);
    for (int k = 0; k < K; ++k)
      segments[k * w + j] = acc[k] / divisor[k];
  }
}

// Windows anywhere.
template <int K>
void summarise(const double *const *x, std::int64_t n, std::int64_t w,
               const Feeds &feeds, Summary *out, double *segments) {
  summarise_at<K>([x](int k, std::int64_t i) { return x[k][i]; }, n, w, feeds,
                  out, segments);
}

// Windows [begin, end) of an index's shape summarised a tile at a time:
// windows one value apart in the summaries kernel's lanes, the rest in
// groups. done(first, size, summaries, segments) sees windows first ...
// first + size - 1 (size at most summary_tile), window first + k's
// estimates at segments[k * w ...]. Cost: O((end - begin) n).
inline constexpr std::int64_t summary_tile = 256;
template <typename Done>
void summarise_windows(const IndexShape &shape, const double *ts,
                       const Feeds &feeds, std::int64_t begin, std::int64_t end,
                       const Done &done) {
  constexpr int group = 8;
  const std::int64_t n = shape.window;
  const std::int64_t w = shape.w;
  std::vector<double> segments(static_cast<std::size_t>(summary_tile * w));
  Summary summaries[summary_tile];
  std::int64_t i = begin;
  const Kernels &kernels = best_kernels();
  if (shape.stride == 1 && kernels.lanes <= summary_tile) {
    std::vector<std::int32_t> values;
    std::vector<double> weights;
    for (const Feed &feed : feeds.feeds) {
      values.push_back(feed.value);
      weights.push_back(feed.weight);
    }
    double means[summary_tile], deviations[summary_tile], largest[summary_tile];
    const std::int64_t batch = summary_tile / kernels.lanes * kernels.lanes;
    for (; i + batch <= end; i += batch) {
      kernels.summaries({ts, i, batch, static_cast<std::int32_t>(n),
                         static_cast<std::int32_t>(w), values.data(),
                         weights.data(), feeds.first.data(), means, deviations,
                         largest, segments.data()});
      for (std::int64_t k = 0; k < batch; ++k) {
        const double scale = largest[k] / deviations[k];
        summaries[k] = {means[k], deviations[k], scale,
                        window_kind(deviations[k], largest[k], scale, n)};
      }
      done(i, batch, static_cast<const Summary *>(summaries),
           static_cast<const double *>(segments.data()));
    }
  }
  const double *x[group];
  for (; i + group <= end; i += group) {
    for (int k = 0; k < group; ++k)
      x[k] = ts + (i + k) * shape.stride;
    summarise<group>(x, n, w, feeds, summaries, segments.data());
    done(i, std::int64_t{group}, static_cast<const Summary *>(summaries),
         static_cast<const double *>(segments.data()));
  }
  for (; i < end; ++i) {
    x[0] = ts + i * shape.stride;
    summarise<1>(x, n, w, feeds, summaries, segments.data());
    done(i, std::int64_t{1}, static_cast<const Summary *>(summaries),
         static_cast<const double *>(segments.data()));
  }
}

// The sort key of a word: the most significant bits of its symbols
// interleaved, level by level, so that words sharing a key prefix agree on
// every segment's coarse region. A KeyMaker spreads a symbol's leading bits
// to their places in one lookup.
class KeyMaker {
public:
  explicit KeyMaker(std::int64_t w)
      : segments_(std::min<std::int64_t>(w, 64)),
        levels_(std::min<std::int64_t>(8, 64 / segments_)) {
    for (std::uint32_t symbol = 0; symbol < 256; ++symbol) {
      std::uint64_t spread = 0;
      for (std::int64_t level = 0; level < levels_; ++level)
        if ((symbol >> (7 - level)) & 1U)
          spread |= std::uint64_t{1} << (63 - level * segments_);
      spread_[symbol] = spread;
    }
  }
  std::uint64_t operator()(const std::uint8_t *word) const {
    std::uint64_t key = 0;
    for (std::int64_t j = 0; j < segments_; ++j)
      key |= spread_[word[j]] >> j;
    return key;
  }

private:
  std::int64_t segments_;
  std::int64_t levels_;
  std::uint64_t spread_[256];
};

// The exact distance of a window (its moments given) to a query whose
// z-normalised value i is query(i), or a number > limit as soon as the
// partial sum of squares exceeds `limit` (it never shrinks), with
// `abandoned` set.
template <typename Query>
double distance_to(const Query &query, const double *x, std::int64_t n,
                   double mean, double deviation, double limit,
                   bool &abandoned) {
  constexpr std::int64_t block = 16;
  double squares[block];
  double sum = 0.0;
  for (std::int64_t at = 0; at < n; at += block) {
    const std::int64_t size = std::min(block, n - at);
    for (std::int64_t i = 0; i < size; ++i) {
      const double difference = query(at + i) - (x[at + i] - mean) / deviation;
      squares[i] = difference * difference;
    }
    for (std::int64_t i = 0; i < size; ++i)
      sum += squares[i];
    if (sum > limit) {
      abandoned = true;
      return std::numeric_limits<double>::infinity();
    }
  }
  abandoned = false;
  return std::sqrt(sum);
}

// The same to the z-normalised query zq.
inline double window_distance(const double *x, std::int64_t n, double mean,
                              double deviation, const double *zq, double limit,
                              bool &abandoned) {
  return distance_to([zq](std::int64_t i) { return zq[i]; }, x, n, mean,
                     deviation, limit, abandoned);
}

} // namespace morvel::detail
