// Building an index: every window summarised (on a few threads, in steps the
// caller may stop between), its word keyed so that similar words sort side
// by side, the words radix-sorted by key and cut into leaves.
#include "morvel/index.hpp"

#include "index_windows.hpp"
#include "kernel_interface.hpp"
#include "morvel/morvel.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace morvel {
namespace {

using detail::Summary;
using detail::WindowKind;

// Windows a thread summarises between two calls of the progress callback.
constexpr std::int64_t step_windows = 1 << 15;

// Summarises windows [begin, end), writing each one's kind, and the word
// and key of each regular one.
void summarise_range(const IndexShape &shape, const double *ts,
                     const detail::Feeds &feeds, std::int64_t begin,
                     std::int64_t end, std::uint8_t *kinds, std::uint8_t *words,
                     std::uint64_t *keys) {
  const std::int64_t w = shape.w;
  const detail::KeyMaker key(w);
  const FineSymbols symbol_of;
  detail::summarise_windows(
      shape, ts, feeds, begin, end,
      [&](std::int64_t first, std::int64_t size, const Summary *summaries,
          const double *segments) {
        for (std::int64_t k = 0; k < size; ++k) {
          const std::int64_t window = first + k;
          kinds[window] = static_cast<std::uint8_t>(summaries[k].kind);
          if (summaries[k].kind != WindowKind::regular)
            continue;
          std::uint8_t *word = words + window * w;
          for (std::int64_t j = 0; j < w; ++j)
            word[j] = symbol_of(segments[k * w + j]);
          keys[window] = key(word);
        }
      });
}

// Runs part(begin, end) over [begin, end) split among `threads` threads,
// this one included.
template <typename Part>
void in_parallel(std::int64_t begin, std::int64_t end, std::int32_t threads,
                 const Part &part) {
  const std::int64_t total = end - begin;
  const std::int64_t parts =
      std::max<std::int64_t>(1, std::min<std::int64_t>(threads, total));
  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<std::size_t>(parts - 1));
  auto bound = [&](std::int64_t p) { return begin + total * p / parts; };
  for (std::int64_t p = 1; p < parts; ++p) {
    try {
      helpers.emplace_back(part, bound(p), bound(p + 1));
    } catch (const std::system_error &) {
      part(bound(p), bound(p + 1)); // no thread to be had: do it here
    }
  }
  part(bound(0), bound(1));
  for (std::thread &helper : helpers)
    helper.join();
}

// A ranked window and its key, sorted by key then window number.
struct Keyed {
  std::uint64_t key;
  std::uint32_t window;
  bool operator<(const Keyed &other) const {
    return key < other.key || (key == other.key && window < other.window);
  }
};

// The regular windows sorted by key: each thread deals its share of them
// into buckets by the key's top bits (in window order, after the shares of
// the threads before it), then the buckets, each small enough to stay in
// cache, are sorted on the threads.
constexpr int bucket_bits = 11;
constexpr std::size_t buckets = std::size_t{1} << bucket_bits;

void sort_by_key(const std::uint8_t *kinds, const std::uint64_t *keys,
                 std::int64_t count, std::int32_t threads,
                 std::vector<Keyed> &keyed) {
  const auto regular = static_cast<std::uint8_t>(WindowKind::regular);
  const std::int64_t parts = std::max<std::int64_t>(1, threads);
  auto share = [&](std::int64_t p) { return count * p / parts; };
  std::vector<std::vector<std::size_t>> counts(
      static_cast<std::size_t>(parts), std::vector<std::size_t>(buckets));
  in_parallel(0, parts, threads, [&](std::int64_t from, std::int64_t to) {
    for (std::int64_t p = from; p < to; ++p) {
      std::vector<std::size_t> &mine = counts[static_cast<std::size_t>(p)];
      for (std::int64_t i = share(p); i < share(p + 1); ++i)
        if (kinds[i] == regular)
          ++mine[keys[i] >> (64 - bucket_bits)];
    }
  });
  std::vector<std::size_t> first(buckets + 1);
  std::size_t at = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    first[b] = at;
    for (std::vector<std::size_t> &mine : counts) {
      const std::size_t here = mine[b];
      mine[b] = at; // becomes this part's next place in bucket b
      at += here;
    }
  }
  first[buckets] = at;
  in_parallel(0, parts, threads, [&](std::int64_t from, std::int64_t to) {
    for (std::int64_t p = from; p < to; ++p) {
      std::vector<std::size_t> &next = counts[static_cast<std::size_t>(p)];
      for (std::int64_t i = share(p); i < share(p + 1); ++i)
        if (kinds[i] == regular)
          keyed[next[keys[i] >> (64 - bucket_bits)]++] = {
              keys[i], static_cast<std::uint32_t>(i)};
    }
  });
  in_parallel(
      0, static_cast<std::int64_t>(buckets), threads,
      [&](std::int64_t from, std::int64_t to) {
        for (std::int64_t b = from; b < to; ++b)
          std::sort(keyed.begin() + static_cast<std::ptrdiff_t>(first[b]),
                    keyed.begin() + static_cast<std::ptrdiff_t>(first[b + 1]));
      });
}

template <typename T> std::vector<T> allocated(std::size_t size) {
  try {
    return std::vector<T>(size);
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
}

} // namespace

IndexShape plan_index(std::int64_t length, std::int64_t window,
                      std::int64_t stride, std::int64_t w) {
  if (window < 2)
    throw std::invalid_argument("window must be at least 2, not " +
                                std::to_string(window));
  if (window > std::numeric_limits<std::int32_t>::max())
    throw std::invalid_argument("window must be at most 2147483647, not " +
                                std::to_string(window));
  if (window > length)
    throw std::invalid_argument("window (" + std::to_string(window) +
                                ") must not exceed the series' length (" +
                                std::to_string(length) + ")");
  if (stride < 1)
    throw std::invalid_argument("stride must be at least 1, not " +
                                std::to_string(stride));
  const std::int64_t widest = std::min<std::int64_t>(window, 256);
  if (w < 1 || w > widest)
    throw std::invalid_argument("w must be between 1 and " +
                                std::to_string(widest) + ", not " +
                                std::to_string(w));
  IndexShape shape{length, window, stride, w, (length - window) / stride + 1};
  if (shape.count > std::numeric_limits<std::uint32_t>::max())
    throw std::invalid_argument(
        "an index holds at most 4294967295 windows, not " +
        std::to_string(shape.count));
  return shape;
}

std::int64_t leaf_count(std::int64_t ranked) {
  return (ranked + index_leaf_size - 1) / index_leaf_size;
}

IndexTables BuiltIndex::tables() const {
  IndexTables tables;
  tables.words = words.data();
  tables.windows = windows.data();
  tables.ranked = static_cast<std::int64_t>(windows.size());
  tables.boxes = boxes.data();
  tables.irregular = irregular.data();
  tables.irregular_count = static_cast<std::int64_t>(irregular.size());
  tables.shapeless = shapeless.data();
  tables.shapeless_count = static_cast<std::int64_t>(shapeless.size());
  return tables;
}

double build_bytes(const IndexShape &shape) {
  const double count = static_cast<double>(shape.count);
  const double w = static_cast<double>(shape.w);
  // At most every window ranked; while sorting, the kinds, the unsorted
  // words, a key and a keyed window (16 bytes) per window, besides them.
  const double tables = count * (w + 4.0) + count / index_leaf_size * 2.0 * w;
  return tables + count * (1.0 + w + 8.0 + 16.0);
}

std::int64_t tables_bytes(const IndexShape &shape, const IndexTables &tables) {
  return tables.ranked * (shape.w + 4) +
         leaf_count(tables.ranked) * 2 * shape.w +
         (tables.irregular_count + tables.shapeless_count) * 4;
}

BuiltIndex build_index(const IndexShape &shape, const double *ts,
                       std::int32_t threads, const BuildProgress &progress) {
  const auto count = static_cast<std::size_t>(shape.count);
  const auto w = static_cast<std::size_t>(shape.w);
  const detail::Feeds feeds = detail::segment_feeds(shape.window, shape.w);
  auto kinds = allocated<std::uint8_t>(count);
  auto unsorted = allocated<std::uint8_t>(count * w);
  auto all_keys = allocated<std::uint64_t>(count);
  threads = std::max(threads, 1);
  for (std::int64_t done = 0; done < shape.count;) {
    const std::int64_t end =
        std::min(shape.count, done + step_windows * threads);
    in_parallel(done, end, threads, [&](std::int64_t begin, std::int64_t to) {
      summarise_range(shape, ts, feeds, begin, to, kinds.data(),
                      unsorted.data(), all_keys.data());
    });
    done = end;
    if (progress)
      progress(done);
  }

  BuiltIndex index;
  std::size_t ranked = 0;
  for (const std::uint8_t kind : kinds)
    ranked += kind == static_cast<std::uint8_t>(WindowKind::regular);
  auto keyed = allocated<Keyed>(ranked);
  try {
    sort_by_key(kinds.data(), all_keys.data(), shape.count, threads, keyed);
    for (std::size_t i = 0; i < count; ++i) {
      const auto kind = static_cast<WindowKind>(kinds[i]);
      if (kind == WindowKind::irregular)
        index.irregular.push_back(static_cast<std::uint32_t>(i));
      else if (kind == WindowKind::shapeless)
        index.shapeless.push_back(static_cast<std::uint32_t>(i));
    }
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  all_keys = {};
  kinds = {};
  index.windows = allocated<std::uint32_t>(ranked);
  index.words = allocated<std::uint8_t>(ranked * w);
  in_parallel(0, static_cast<std::int64_t>(ranked), threads,
              [&](std::int64_t from, std::int64_t to) {
                for (auto r = static_cast<std::size_t>(from);
                     r < static_cast<std::size_t>(to); ++r) {
                  const std::uint32_t window = keyed[r].window;
                  index.windows[r] = window;
                  std::copy_n(&unsorted[window * w], w, &index.words[r * w]);
                }
              });
  keyed = {};
  unsorted = {};

  const auto leaves =
      static_cast<std::size_t>(leaf_count(static_cast<std::int64_t>(ranked)));
  index.boxes = allocated<std::uint8_t>(leaves * 2 * w);
  in_parallel(0, static_cast<std::int64_t>(leaves), threads,
              [&](std::int64_t from, std::int64_t to) {
                for (auto leaf = static_cast<std::size_t>(from);
                     leaf < static_cast<std::size_t>(to); ++leaf) {
                  std::uint8_t *low = &index.boxes[leaf * 2 * w];
                  std::uint8_t *high = low + w;
                  std::fill(low, low + w, std::uint8_t{255});
                  std::fill(high, high + w, std::uint8_t{0});
                  const std::size_t first = leaf * index_leaf_size;
                  const std::size_t last =
                      std::min(ranked, first + index_leaf_size);
                  for (std::size_t r = first; r < last; ++r)
                    for (std::size_t j = 0; j < w; ++j) {
                      low[j] = std::min(low[j], index.words[r * w + j]);
                      high[j] = std::max(high[j], index.words[r * w + j]);
                    }
                }
              });
  return index;
}

void check_tables(const IndexShape &shape, const IndexTables &tables) {
  const auto refuse = [](const std::string &what) {
    throw std::invalid_argument("the index's tables are damaged: " + what);
  };
  if (tables.ranked < 0 || tables.irregular_count < 0 ||
      tables.shapeless_count < 0 ||
      tables.ranked + tables.irregular_count + tables.shapeless_count !=
          shape.count)
    refuse("they do not hold every window once");
  std::vector<bool> seen(static_cast<std::size_t>(shape.count));
  const auto mark = [&](std::uint32_t window) {
    if (window >= shape.count || seen[window])
      refuse("window " + std::to_string(window) + " is out of place");
    seen[window] = true;
  };
  for (std::int64_t r = 0; r < tables.ranked; ++r)
    mark(tables.windows[r]);
  for (const auto &[list, size] :
       {std::pair{tables.irregular, tables.irregular_count},
        std::pair{tables.shapeless, tables.shapeless_count}})
    for (std::int64_t i = 0; i < size; ++i) {
      if (i > 0 && list[i] <= list[i - 1])
        refuse("a list of windows is out of order");
      mark(list[i]);
    }
}

std::uint64_t checksum(const void *data, std::size_t size) noexcept {
  // Four independent multiply-rotate lanes over 8-byte words, then the
  // tail, then a final mix: every bit of the input reaches every bit.
  constexpr std::uint64_t prime1 = 0x9E3779B185EBCA87ULL;
  constexpr std::uint64_t prime2 = 0xC2B2AE3D27D4EB4FULL;
  const auto rotate = [](std::uint64_t v, int r) {
    return (v << r) | (v >> (64 - r));
  };
  const auto *bytes = static_cast<const unsigned char *>(data);
  std::uint64_t lanes[4] = {prime1, prime2, ~prime1, ~prime2};
  std::size_t at = 0;
  for (; at + 32 <= size; at += 32)
    for (int lane = 0; lane < 4; ++lane) {
      std::uint64_t v;
      std::memcpy(&v, bytes + at + 8 * lane, 8);
      lanes[lane] = rotate(lanes[lane] + v * prime2, 31) * prime1;
    }
  std::uint64_t hash = static_cast<std::uint64_t>(size) * prime1;
  for (int lane = 0; lane < 4; ++lane)
    hash = rotate(hash ^ (lanes[lane] * prime2), 27) * prime1 + prime2;
  for (; at < size; ++at)
    hash = rotate(hash ^ (bytes[at] * prime1), 11) * prime2;
  hash ^= hash >> 33;
  hash *= prime2;
  hash ^= hash >> 29;
  return hash;
}

} // namespace morvel
