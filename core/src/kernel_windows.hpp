// Windows side by side, one per lane, for many windows: each lane runs a
// whole window, mean, variance, then the stretched walk. Part of kernel.hpp,
// compiled once per instruction set.
#pragma once

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

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

void windows_kernel(const WindowArgs &a) {
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

} // namespace
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
