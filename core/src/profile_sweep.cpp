// The matrix profile by a sweep of every pair, each answer then proven.
//
// The sweep ranks. For windows i, j (z_i, z_j their values less their exact
// means, sigma their exact population deviations) rho = z_i . z_j /
// (n sigma_i sigma_j) is their correlation. Along a diagonal j - i = d the
// product z_i . z_j moves on by one value in and one out; the kernel
// (kernel_profile.hpp) keeps, for each pair, v >= rho: the running product
// plus E, a bound on its error (below), times upper bounds of each
// 1 / (sqrt(n) sigma). Each window keeps its largest v, the second and the
// window that gave the largest.
//
// The proof. Let A be a window's leader, U its exact distance to it (as
// every search computes it), rho_up = max(second, 0) >= rho of every other
// window (v >= rho where the product is >= 0, and rho < 0 elsewhere). With
// Y the values z-normalised by the computed moments (index_windows.hpp),
// a = sigma_i / sd_i and b = sigma_j / sd_j, Y = a Z + c 1 with Z the exact
// z-normalised values, orthogonal to 1, so
//   ||Y_i - Y_j||^2 >= n (a - b)^2 + 2 n a b (1 - rho) >= 2n (1 - rho) / F^2
// where F >= sd / sigma for every ranked window (below): the windows the
// sweep compares are all ranked, the others are computed exactly. The
// defined distance D >= (1 - (n + 4)u)(||Y_i - Y_j|| - r), r = 2.0001u
// sqrt(n) (M_i + M_j)(1 + u) with scales M <= 2 sqrt(n) (search_bound.hpp;
// max|Y| <= M (1 + 2u), which the 2.0001 absorbs). When that bound, for
// rho_up, exceeds U, A is the answer: no other window is as near. Otherwise,
// or with no leader at all, the window is searched for as before, from A.
//
// Nothing may overflow: a v lost to NaN or -inf would drop its pair from
// the ranking unseen. Every value a tile reads (a window with no shape may
// hold any) is at most X <= 1e150 with 64 n (2X)^2 finite, so y, every
// product, the running sums and E stay finite, and v can only overflow to
// +inf, which ranks first and so is searched.
//
// The error. Per lane the values are y = fl(x - c) for a constant c near
// them, |y| <= Y (rows) and Z (columns). Against the exact
// sum (x - mean_i)(x' - mean_j) = sum y y' - (sum y)(sum y') / n, the
// computed one errs by at most u Y Z (1 + eta) times
//   2n (rounding y) + n^2 (the first product) + (2n + 5)(S - 1) (each step
//   along the diagonal: two products, two sums of at most n Y Z) +
//   2n^2 + 2(n + 2)(2S + D) + 2n (the running sums of y and y', S and
//   S + D - 1 steps, their product and its rounding) + 4n (the difference,
//   and adding E itself),
// S rows and D diagonals a tile. F: the computed sd satisfies sd^2 <=
// (sigma^2 + e^2)(1 + gamma_{n+3}), e = |computed mean - mean| <= n u
// max|x| (1 + eta), so sd / sigma <= 1 + 0.51 (e / sd)^2 + (n + 5)u / 2
// while e / sd <= 1e-4. A window beyond that (flat to about 1e-12 of its
// level) is computed against every window instead; a series with more than
// a few of them, with values near overflow, with a stride or with windows
// too long for a tile's buffers is searched.
#include "profile_sweep.hpp"

#include "index_windows.hpp"
#include "kernel_interface.hpp"
#include "rounding.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

namespace morvel::detail {
namespace {

constexpr double u = unit_roundoff;
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t tile_rows = 2048; // per lane
constexpr std::int64_t tile_diagonals = 512;
constexpr std::uint32_t no_leader = 0xFFFFFFFFu;
// Windows computed against every other: few, or the sweep is not worth it.
constexpr std::size_t most_unranked = 16;
// Products of shifted values stay finite below this.
constexpr double largest_value = 1e150;
constexpr std::int64_t stripe = 4096; // windows a merge lock covers

// Windows one value apart, at least two, and short enough that a thread's
// tile buffers (about 16 values a lane per value of a window) stay small.
bool suits(const IndexShape &shape) {
  return shape.stride == 1 && shape.count >= 2 && shape.window <= (1 << 16);
}

// An upper bound as a float: what the state keeps.
float float_above(double x) {
  if (x > static_cast<double>(FLT_MAX))
    return std::numeric_limits<float>::infinity();
  if (x < -static_cast<double>(FLT_MAX))
    return x == -infinity ? -std::numeric_limits<float>::infinity() : -FLT_MAX;
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x)
    f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

// A window's working state during the sweep, in the 16 bytes of its own
// results: its largest and second v (rounded up), its leader and its scale.
class State {
public:
  State(double *distances, std::int64_t *neighbours)
      : first_(reinterpret_cast<unsigned char *>(distances)),
        second_(reinterpret_cast<unsigned char *>(neighbours)) {}
  float best(std::int64_t i) const { return get<float>(first_, i, 0); }
  float second(std::int64_t i) const { return get<float>(first_, i, 4); }
  std::uint32_t leader(std::int64_t i) const {
    return get<std::uint32_t>(second_, i, 0);
  }
  float scale(std::int64_t i) const { return get<float>(second_, i, 4); }
  void set_best(std::int64_t i, float v) { put(first_, i, 0, v); }
  void set_second(std::int64_t i, float v) { put(first_, i, 4, v); }
  void set_leader(std::int64_t i, std::uint32_t v) { put(second_, i, 0, v); }
  void set_scale(std::int64_t i, float v) { put(second_, i, 4, v); }

private:
  template <typename T>
  static T get(const unsigned char *base, std::int64_t i, int at) {
    T value;
    std::memcpy(&value, base + i * 8 + at, sizeof value);
    return value;
  }
  template <typename T>
  static void put(unsigned char *base, std::int64_t i, int at, T value) {
    std::memcpy(base + i * 8 + at, &value, sizeof value);
  }
  unsigned char *first_;
  unsigned char *second_;
};

struct Moments {
  double mean, deviation, largest;
};

// The largest |computed mean - mean| / sd of a ranked window.
constexpr double largest_ratio = 1e-4;

// >= sd / sigma (see the top), or +inf where it cannot be vouched for.
double deviation_factor(const Moments &m, std::int64_t n) {
  const double top = std::fabs(m.mean) + 1.01 * m.largest; // >= max |x|
  const double error = static_cast<double>(n + 2) * u * top * 1.01;
  const double ratio = error / m.deviation;
  if (!(ratio <= largest_ratio))
    return infinity;
  return 1.0 + 1.1 * ratio * ratio + static_cast<double>(n + 8) * u;
}

// The largest deviation_factor of a ranked window.
double largest_factor(std::int64_t n) {
  return (1.0 + 1.1 * largest_ratio * largest_ratio +
          static_cast<double>(n + 8) * u) *
         (1.0 + 4.0 * u);
}

Moments moments_of(const double *x, std::int64_t n) {
  Moments m;
  window_moments<1, true>([x](int, std::int64_t i) { return x[i]; }, n, &m.mean,
                          &m.deviation, &m.largest);
  return m;
}

// The defined distance of the window z-normalised as zi to window j.
double exact_distance(const double *ts, std::int64_t n,
                      const std::vector<double> &zi, std::int64_t j) {
  const Moments mj = moments_of(ts + j, n);
  bool abandoned = false;
  return window_distance(ts + j, n, mj.mean, mj.deviation, zi.data(), infinity,
                         abandoned);
}

// D's lower bound for every ranked window whose rho is at most rho_up (see
// the top).
double distance_floor(double rho_up, std::int64_t n) {
  const double margin = 1.0 - 1e-12; // for this function's own rounding
  const double length = static_cast<double>(n);
  const double r = 8.0004 * length * u * (1.0 + u) * (1.0 + 1e-12);
  const double spread =
      std::sqrt(2.0 * length * (1.0 - rho_up)) / largest_factor(n) * margin;
  return (spread - r) * (1.0 - (length + 4.0) * u) * margin;
}

// The tiles: per band of tile_diagonals diagonals from `first_diagonal`,
// blocks of width * tile_rows rows.
struct Tiles {
  std::int64_t width = 1;
  std::int64_t first_diagonal = 1;
  std::vector<std::int64_t> first_tile; // per band, and the total last
  std::int64_t total() const { return first_tile.back(); }
};

Tiles plan_tiles(std::int64_t count, std::int64_t width,
                 std::int64_t first_diagonal) {
  Tiles tiles{width, first_diagonal, {0}};
  for (std::int64_t d = first_diagonal; d < count; d += tile_diagonals) {
    const std::int64_t rows = count - d;
    const std::int64_t block = width * tile_rows;
    tiles.first_tile.push_back(tiles.first_tile.back() +
                               (rows + block - 1) / block);
  }
  return tiles;
}

// One thread's tile buffers, each on its own cache lines: a vector of
// eight doubles that straddled two lines would cost two accesses.
class Buffers {
public:
  double *row_values, *row_sums, *row_scales, *column_values, *column_means,
      *column_scales, *products, *row_best, *row_second, *row_partner,
      *column_best, *column_second, *column_partner;
  double start = 0.0;

  Buffers(std::int64_t n, std::int64_t width) {
    const std::int64_t columns = tile_rows + tile_diagonals - 1;
    double **const parts[] = {&row_values,    &row_sums,     &row_scales,
                              &column_values, &column_means, &column_scales,
                              &products,      &row_best,     &row_second,
                              &row_partner,   &column_best,  &column_second,
                              &column_partner};
    const std::int64_t slots[] = {tile_rows + n - 1,
                                  tile_rows,
                                  tile_rows,
                                  columns + n - 1,
                                  columns,
                                  columns,
                                  tile_diagonals,
                                  tile_rows,
                                  tile_rows,
                                  tile_rows,
                                  columns,
                                  columns,
                                  columns};
    std::size_t total = 0;
    for (const std::int64_t count : slots)
      total += rounded(count * width);
    block_.reset(static_cast<double *>(
        ::operator new[](total * sizeof(double), std::align_val_t{line})));
    std::size_t at = 0;
    for (std::size_t p = 0; p < std::size(parts); ++p) {
      *parts[p] = block_.get() + at;
      at += rounded(slots[p] * width);
    }
  }
  static double bytes(std::int64_t n, std::int64_t width) {
    return 8.0 * static_cast<double>(width) *
               static_cast<double>(6 * tile_rows + 7 * tile_diagonals + 2 * n +
                                   3 * (tile_rows + tile_diagonals)) +
           13.0 * line;
  }

private:
  static constexpr std::size_t line = 64;
  static std::size_t rounded(std::int64_t doubles) {
    const std::size_t per_line = line / sizeof(double);
    return (static_cast<std::size_t>(doubles) + per_line - 1) / per_line *
           per_line;
  }
  struct Release {
    void operator()(double *p) const {
      ::operator delete[](p, std::align_val_t{line});
    }
  };
  std::unique_ptr<double[], Release> block_;
};

// Lane l's values from `first`: x less its shift (0 where x is not finite,
// or beyond the series: only windows without shape hold those), into
// values[p * width + l]; their sliding sums over n into sums (count of
// them). Returns the largest |value|.
double fill_lane(const double *ts, std::int64_t length, std::int64_t first,
                 std::int64_t positions, std::int64_t n, std::int64_t width,
                 std::int64_t l, double *values, double *sums,
                 std::int64_t count) {
  const std::int64_t middle = std::min(first + positions / 2, length - 1);
  const double shift = std::isfinite(ts[middle]) ? ts[middle] : 0.0;
  double largest = 0.0;
  for (std::int64_t p = 0; p < positions; ++p) {
    const std::int64_t at = first + p;
    const double y =
        at < length && std::isfinite(ts[at]) ? ts[at] - shift : 0.0;
    values[p * width + l] = y;
    largest = std::max(largest, std::fabs(y));
  }
  double sum = 0.0;
  for (std::int64_t p = 0; p < n; ++p)
    sum += values[p * width + l];
  sums[l] = sum;
  for (std::int64_t s = 1; s < count; ++s) {
    sum = (sum + values[(s + n - 1) * width + l]) - values[(s - 1) * width + l];
    sums[s * width + l] = sum;
  }
  return largest;
}

class Sweep {
public:
  Sweep(const IndexShape &shape, const double *ts, State &state,
        const Tiles &tiles)
      : shape_(shape), ts_(ts), state_(state), tiles_(tiles),
        kernels_(best_kernels()),
        locks_(static_cast<std::size_t>(shape.count / stripe + 1)) {}

  void tile(std::int64_t t, Buffers &b) {
    const auto band =
        static_cast<std::int64_t>(std::upper_bound(tiles_.first_tile.begin(),
                                                   tiles_.first_tile.end(), t) -
                                  tiles_.first_tile.begin() - 1);
    const std::int64_t width = tiles_.width;
    const std::int64_t n = shape_.window;
    const std::int64_t count = shape_.count;
    const std::int64_t first_diagonal =
        tiles_.first_diagonal + band * tile_diagonals;
    const std::int64_t diagonals =
        std::min(tile_diagonals, count - first_diagonal);
    const std::int64_t rows_valid = count - first_diagonal;
    const std::int64_t first_row =
        (t - tiles_.first_tile[band]) * width * tile_rows;
    const std::int64_t rows_total =
        std::min(width * tile_rows, rows_valid - first_row);
    const std::int64_t rows = (rows_total + width - 1) / width;
    const std::int64_t columns = rows + diagonals - 1;

    double row_largest = 0.0, column_largest = 0.0;
    for (std::int64_t l = 0; l < width; ++l) {
      const std::int64_t row0 = first_row + l * rows;
      row_largest = std::max(
          row_largest,
          fill_lane(ts_, shape_.length, std::min(row0, count - 1), rows + n - 1,
                    n, width, l, b.row_values, b.row_sums, rows));
      const std::int64_t column0 = row0 + first_diagonal;
      column_largest =
          std::max(column_largest,
                   fill_lane(ts_, shape_.length, std::min(column0, count - 1),
                             columns + n - 1, n, width, l, b.column_values,
                             b.column_means, columns));
      scales(row0, std::clamp(rows_total - l * rows, std::int64_t{0}, rows),
             rows, b.row_scales + l, width);
      scales(column0, std::clamp(count - column0, std::int64_t{0}, columns),
             columns, b.column_scales + l, width);
      for (std::int64_t c = 0; c < columns; ++c) {
        const std::int64_t slot = c * width + l;
        b.column_means[slot] /= static_cast<double>(n);
        b.column_best[slot] = -infinity;
        b.column_second[slot] = -infinity;
        b.column_partner[slot] = -1.0;
      }
    }
    const double length = static_cast<double>(n);
    b.start =
        1.01 * u * row_largest * column_largest *
        (3.0 * length * length +
         (2.0 * length + 5.0) * static_cast<double>(rows) +
         2.0 * (length + 2.0) * static_cast<double>(2 * rows + diagonals) +
         10.0 * length + 16.0);

    ProfileArgs args{static_cast<std::int32_t>(n),
                     static_cast<std::int32_t>(rows),
                     static_cast<std::int32_t>(diagonals),
                     b.row_values,
                     b.row_sums,
                     b.row_scales,
                     b.column_values,
                     b.column_means,
                     b.column_scales,
                     &b.start,
                     b.products,
                     b.row_best,
                     b.row_second,
                     b.row_partner,
                     b.column_best,
                     b.column_second,
                     b.column_partner};
    kernels_.profile(args);

    for (std::int64_t l = 0; l < width; ++l) {
      const std::int64_t row0 = first_row + l * rows;
      const std::int64_t valid =
          std::clamp(rows_total - l * rows, std::int64_t{0}, rows);
      merge(row0, valid,
            [&](std::int64_t s, double &best, double &second,
                std::int64_t &leader) {
              const std::int64_t slot = s * width + l;
              best = b.row_best[slot];
              second = b.row_second[slot];
              leader = row0 + s + first_diagonal +
                       static_cast<std::int64_t>(b.row_partner[slot]);
            });
      const std::int64_t column0 = row0 + first_diagonal;
      merge(column0, std::clamp(count - column0, std::int64_t{0}, columns),
            [&](std::int64_t c, double &best, double &second,
                std::int64_t &leader) {
              const std::int64_t slot = c * width + l;
              best = b.column_best[slot];
              second = b.column_second[slot];
              leader = row0 + static_cast<std::int64_t>(b.column_partner[slot]);
            });
    }
  }

private:
  // each(at) for at = 0 ... count - 1, under the lock of window first +
  // at's stripe.
  template <typename Each>
  void under_locks(std::int64_t first, std::int64_t count, const Each &each) {
    std::int64_t at = 0;
    while (at < count) {
      const std::int64_t window = first + at;
      const std::int64_t end = std::min(count, at + (stripe - window % stripe));
      std::lock_guard<std::mutex> lock(
          locks_[static_cast<std::size_t>(window / stripe)]);
      for (; at < end; ++at)
        each(at);
    }
  }

  // The scales of windows first ... first + valid - 1 into out[s * width],
  // NaN for the rest of `slots`; read under the merges' locks, as the
  // state they share bytes with may be changing.
  void scales(std::int64_t first, std::int64_t valid, std::int64_t slots,
              double *out, std::int64_t width) {
    under_locks(first, valid, [&](std::int64_t at) {
      out[at * width] = static_cast<double>(state_.scale(first + at));
    });
    for (std::int64_t at = std::max<std::int64_t>(valid, 0); at < slots; ++at)
      out[at * width] = not_a_number;
  }

  // Windows first ... first + count - 1 take in what a tile saw of them.
  template <typename Seen>
  void merge(std::int64_t first, std::int64_t count, const Seen &seen) {
    under_locks(first, count, [&](std::int64_t at) {
      double best, second;
      std::int64_t leader;
      seen(at, best, second, leader);
      if (best == -infinity)
        return;
      const std::int64_t i = first + at;
      const double held = state_.best(i);
      if (best > held) {
        state_.set_second(i, float_above(std::max(second, held)));
        state_.set_best(i, float_above(best));
        state_.set_leader(i, static_cast<std::uint32_t>(leader));
      } else {
        state_.set_second(i, float_above(std::max(
                                 static_cast<double>(state_.second(i)), best)));
      }
    });
  }

  const IndexShape &shape_;
  const double *ts_;
  State &state_;
  const Tiles &tiles_;
  const Kernels &kernels_;
  std::vector<std::mutex> locks_;
};

} // namespace

double sweep_bytes(const IndexShape &shape, std::int32_t threads) {
  return suits(shape) ? threads * Buffers::bytes(shape.window,
                                                 best_kernels().profile_width)
                      : 0.0;
}

bool sweep_profile(const IndexShape &shape, const IndexTables &tables,
                   const double *ts, std::int64_t exclude, std::int32_t threads,
                   const JoinProgress &progress, double *distances,
                   std::int64_t *neighbours, SearchStats &stats) {
  if (!suits(shape) || tables.irregular_count != 0)
    return false;
  const std::int64_t n = shape.window;
  const std::int64_t count = shape.count;
  // Every value a tile reads, shape or not, small enough that no sum of
  // its products overflows: a value lost to infinity would drop its pairs
  // from the ranking unseen.
  double largest = 0.0;
  for (std::int64_t i = 0; i < shape.length; ++i)
    if (std::isfinite(ts[i]))
      largest = std::max(largest, std::fabs(ts[i]));
  if (!(largest <= largest_value &&
        64.0 * static_cast<double>(n) * (4.0 * largest * largest) <= DBL_MAX))
    return false;
  State state(distances, neighbours);

  // Each window's scale, and those the sweep cannot rank.
  std::vector<std::uint32_t> unranked;
  std::mutex unranked_mutex;
  bool fits = true; // under unranked_mutex too
  in_steps(count, 4096, threads, nullptr,
           [&](std::int64_t first, std::int64_t last) {
             std::vector<std::uint32_t> mine;
             bool ok = true;
             for (std::int64_t i = first; i < last && ok; ++i) {
               state.set_best(i, -std::numeric_limits<float>::infinity());
               state.set_second(i, -std::numeric_limits<float>::infinity());
               state.set_leader(i, no_leader);
               const Moments m = moments_of(ts + i, n);
               const double scale = m.largest / m.deviation;
               const WindowKind kind =
                   window_kind(m.deviation, m.largest, scale, n);
               if (kind == WindowKind::irregular)
                 ok = false;
               float stored = std::numeric_limits<float>::quiet_NaN();
               if (kind == WindowKind::regular) {
                 const double factor = deviation_factor(m, n);
                 const double bound =
                     1.0 / (std::sqrt(static_cast<double>(n)) * m.deviation) *
                     factor * (1.0 + 16.0 * u);
                 if (bound <= static_cast<double>(FLT_MAX))
                   stored = float_above(bound);
                 else
                   mine.push_back(static_cast<std::uint32_t>(i));
               }
               state.set_scale(i, stored);
             }
             std::lock_guard<std::mutex> lock(unranked_mutex);
             unranked.insert(unranked.end(), mine.begin(), mine.end());
             fits = fits && ok;
             return ok && unranked.size() <= most_unranked;
           });
  if (!fits || unranked.size() > most_unranked)
    return false;
  std::sort(unranked.begin(), unranked.end());

  // The sweep.
  const Tiles tiles =
      plan_tiles(count, best_kernels().profile_width, exclude + 1);
  Sweep sweep(shape, ts, state, tiles);
  const std::int64_t total = tiles.total();
  in_steps(total, 4, threads,
           // In windows, as every self-join reports: the sweep's share of
           // them, the line left open until the proofs are done.
           progress ? JoinProgress([&](std::int64_t done, std::int64_t) {
             progress(std::min(count - 1, done * count / total), count);
           })
                    : JoinProgress(),
           [&](std::int64_t first, std::int64_t last) {
             Buffers buffers(n, tiles.width);
             for (std::int64_t t = first; t < last; ++t)
               sweep.tile(t, buffers);
             return true;
           });

  // Each answer, proven or searched for.
  std::vector<std::uint8_t> blocks;
  std::once_flag blocks_made;
  std::mutex stats_mutex;
  in_steps(count, 1024, threads,
           progress ? JoinProgress([&](std::int64_t done, std::int64_t) {
             progress(done == count ? count : count - 1, count);
           })
                    : JoinProgress(),
           [&](std::int64_t first, std::int64_t last) {
             SearchStats mine;
             std::vector<double> zq(static_cast<std::size_t>(n));
             for (std::int64_t i = first; i < last; ++i) {
               if (listed(tables.shapeless, tables.shapeless_count, i)) {
                 distances[i] = not_a_number;
                 neighbours[i] = -1;
                 continue;
               }
               const std::uint32_t leader = state.leader(i);
               const double second = state.second(i);
               const Moments m = moments_of(ts + i, n);
               for (std::int64_t t = 0; t < n; ++t)
                 zq[static_cast<std::size_t>(t)] =
                     (ts[i + t] - m.mean) / m.deviation;
               double best = infinity;
               std::int64_t nearest = -1;
               // A window no pair ranked is searched: the proof below
               // speaks only of the pairs the sweep saw.
               bool proven =
                   leader != no_leader &&
                   !std::binary_search(unranked.begin(), unranked.end(),
                                       static_cast<std::uint32_t>(i));
               if (leader != no_leader) {
                 best = exact_distance(ts, n, zq, leader);
                 nearest = leader;
                 ++mine.distances;
                 if (second != -infinity) {
                   const double rho = std::max(second, 0.0);
                   proven =
                       proven && rho < 1.0 && distance_floor(rho, n) > best;
                 }
               }
               if (proven)
                 for (const std::uint32_t j : unranked) {
                   if (!apart(j, i, exclude))
                     continue;
                   const double d = exact_distance(ts, n, zq, j);
                   ++mine.distances;
                   if (d < best || (d == best && j < nearest)) {
                     best = d;
                     nearest = j;
                   }
                 }
               if (!proven) {
                 std::call_once(blocks_made,
                                [&] { blocks = word_blocks(shape, tables); });
                 const AwayFrom away{i, exclude, 1};
                 const Nearest found = nearest_other(
                     shape, tables, ts, blocks.data(), i, away,
                     leader == no_leader ? -1 : leader, -search_infinity, mine);
                 best = found.distance;
                 nearest = found.window;
               }
               distances[i] = best;
               neighbours[i] = nearest;
               ++mine.nearest;
             }
             std::lock_guard<std::mutex> lock(stats_mutex);
             stats += mine;
             return true;
           });
  return true;
}

} // namespace morvel::detail
