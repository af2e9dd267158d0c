// The tiled sliding-window kernel: `lanes` windows side by side, one per SIMD
// lane. Each lane performs exactly its own window's operations, in the order
// of the serial reference (znormalise, then paa_segments' stretched sums):
// only independent windows share an instruction, never the additions of one
// window.
//
// This file is compiled once per instruction set, each time in its own
// namespace (MORVEL_KERNEL_NAMESPACE) and with its own target flags. It must
// not call inline functions or templates from any shared header: the linker
// keeps one copy of such a function for the whole program, and that copy
// could be the one compiled for an instruction set this CPU lacks.
#include "kernel_args.hpp"

#include <cstddef>
#include <cstdint>

#if !defined(MORVEL_KERNEL_NAMESPACE) || !defined(MORVEL_KERNEL_WIDTH) ||        \
    !defined(MORVEL_KERNEL_CHAINS)
#error "define the kernel's namespace, vector width and chain count first"
#endif

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

// A tile is `chains` native vectors of `width` doubles: enough independent
// accumulators to keep the adder busy while each one waits on its last sum.
constexpr int width = MORVEL_KERNEL_WIDTH;
constexpr int chains = MORVEL_KERNEL_CHAINS;
constexpr int lanes = width * chains;
static_assert(lanes <= max_tile_rows, "the tile buffers hold max_tile_rows rows");
typedef double vec __attribute__((vector_size(width * sizeof(double))));
typedef long long bits __attribute__((vector_size(width * sizeof(double))));

#define MORVEL_EACH_CHAIN _Pragma("GCC unroll 16") for (int c = 0; c < chains; ++c)

struct Tile {
  const double *ts;
  std::int64_t starts[lanes];
  bool contiguous; // lane l reads ts[starts[0] + l + k]

  // Value k of every lane's window, `chains` vectors at a time.
  void load(std::int64_t k, vec (&out)[chains]) const {
    if (contiguous) {
      const double *first = ts + starts[0] + k;
      MORVEL_EACH_CHAIN __builtin_memcpy(&out[c], first + c * width, sizeof(vec));
    } else {
      MORVEL_EACH_CHAIN for (int l = 0; l < width; ++l) out[c][l] =
          ts[starts[c * width + l] + k];
    }
  }
};

// The upper bound of each lane's mean among the ascending cuts, as a count
// of the cuts not greater than the mean (all of them for NaN): the position
// the binary search of letter_for ends at, found with one comparison per cut
// for all lanes at once.
inline void letters(const vec &mean, const double *cuts, std::int32_t cut_count,
                    char (&out)[width]) {
  bits position = {};
  for (std::int32_t k = 0; k < cut_count; ++k) {
    const vec cut = vec{} + cuts[k];
    position -= ~(cut > mean); // each true lane adds one
  }
  for (int l = 0; l < width; ++l)
    out[l] = static_cast<char>('a' + position[l]);
}

void run_tiles(const KernelArgs &a) {
  const double length = static_cast<double>(a.n);
  const vec zero = {};
  const vec threshold = zero + 1e-6; // the zero-snap threshold
  const auto columns = static_cast<std::size_t>(a.w);

  for (std::int64_t first = 0; first < a.count; first += lanes) {
    const std::int64_t remaining = a.count - first;
    const int valid = remaining < lanes ? static_cast<int>(remaining) : lanes;
    Tile tile;
    tile.ts = a.ts;
    // Idle lanes of the last tile repeat its last window; their results are
    // dropped.
    for (int l = 0; l < lanes; ++l)
      tile.starts[l] = (first + (l < valid ? l : valid - 1)) * a.stride;
    tile.contiguous = a.stride == 1 && valid == lanes;

    // z-normalisation, as znormalise: mean, population variance, sd.
    vec x[chains] = {};
    vec sum[chains];
    MORVEL_EACH_CHAIN sum[c] = zero;
    for (std::int64_t k = 0; k < a.n; ++k) {
      tile.load(k, x);
      MORVEL_EACH_CHAIN sum[c] += x[c];
    }
    vec mean[chains];
    vec squares[chains];
    MORVEL_EACH_CHAIN {
      mean[c] = sum[c] / length;
      squares[c] = zero;
    }
    for (std::int64_t k = 0; k < a.n; ++k) {
      tile.load(k, x);
      MORVEL_EACH_CHAIN {
        const vec deviation = x[c] - mean[c];
        squares[c] += deviation * deviation;
      }
    }
    vec sd[chains];
    MORVEL_EACH_CHAIN {
      const vec variance = squares[c] / length;
      double roots[width];
      for (int l = 0; l < width; ++l)
        roots[l] = __builtin_sqrt(variance[l]);
      __builtin_memcpy(&sd[c], roots, sizeof roots);
    }

    // The stretched walk, as paa_segments, normalising each value as it
    // is first reached: (value - mean) / sd, as znormalise does.
    // Values are reached in ascending order, one after another; the next
    // one is normalised while the adder works on the current one.
    vec block[chains];
    vec z[chains];
    vec z_next[chains];
    MORVEL_EACH_CHAIN block[c] = z[c] = zero;
    tile.load(0, x);
    MORVEL_EACH_CHAIN z_next[c] = (x[c] - mean[c]) / sd[c];
    std::int32_t current = -1;
    std::size_t segment = 0;
    for (std::size_t r = 0; r < a.run_count; ++r) {
      const Run run = a.runs[r];
      if (run.value != current) {
        current = run.value;
        MORVEL_EACH_CHAIN z[c] = z_next[c];
        if (current + 1 < a.n) {
          tile.load(current + 1, x);
          MORVEL_EACH_CHAIN z_next[c] = (x[c] - mean[c]) / sd[c];
        }
      }
      for (std::int32_t i = 0; i < run.repeats; ++i) {
        MORVEL_EACH_CHAIN block[c] += z[c];
      }
      if (!run.closes_block)
        continue;
      double means[lanes];
      char codes[lanes];
      MORVEL_EACH_CHAIN {
        vec segment_mean = block[c] / length;
        // |mean| < threshold (false for NaN) becomes +0.0, all bits clear.
        const bits tiny = (segment_mean < threshold) & (segment_mean > -threshold);
        segment_mean = (vec)((bits)segment_mean & ~tiny);
        block[c] = zero;
        if (a.means != nullptr) {
          __builtin_memcpy(&means[c * width], &segment_mean, sizeof(vec));
        } else {
          char chain_codes[width];
          letters(segment_mean, a.cuts, a.cut_count, chain_codes);
          __builtin_memcpy(&codes[c * width], chain_codes, sizeof chain_codes);
        }
      }
      if (a.means != nullptr) {
        for (int l = 0; l < valid; ++l)
          a.means[static_cast<std::size_t>(l) * columns + segment] = means[l];
      } else {
        for (int l = 0; l < valid; ++l)
          a.letters[static_cast<std::size_t>(l) * columns + segment] = codes[l];
      }
      ++segment;
    }
    a.emit(a.context, first, valid);
  }
}

#undef MORVEL_EACH_CHAIN

} // namespace

void sliding_kernel(const KernelArgs &args) { run_tiles(args); }

} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
