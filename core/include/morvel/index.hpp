// Exact similarity search over the windows of one series: which windows are
// nearest to a query shape under the z-normalised Euclidean distance.
//
// The distance between a query q and a window x of the same length n: both
// are z-normalised as znormalise does it (mean, population standard
// deviation, subtraction then division), the squared differences are added
// in ascending position from 0.0, and the square root is taken. A window
// whose z-normalised values are not all finite (flat, holding NaN or an
// infinity) has no shape: its distance is NaN, ranked after every number.
//
// The index keeps, per window, a word of w symbols of the finer Gaussian cut
// (fine_breakpoints), in an order that puts similar words side by side, and
// per leaf of consecutive words the least and greatest symbol of each
// segment. A query's lower bounds, which carry slack for their own
// rounding, decide which leaves and windows cannot be among its answers;
// everything it returns is computed exactly, in the defined order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace morvel {

// Windows per leaf: the unit the first lower bound prunes.
inline constexpr std::int32_t index_leaf_size = 64;

// What an index covers: `count` windows of `window` values of a series of
// `length` values, window i starting at i * stride, with words of w symbols.
struct IndexShape {
  std::int64_t length = 0;
  std::int64_t window = 0;
  std::int64_t stride = 1;
  std::int64_t w = 0;
  std::int64_t count = 0;
};

// Checks the arguments of an index and sizes it. Throws std::invalid_argument
// with a message naming the fault unless 2 <= window <= min(length,
// 2^31 - 1), stride >= 1, 1 <= w <= min(window, 256) and the window count
// fits in 32 bits. O(1).
IndexShape plan_index(std::int64_t length, std::int64_t window,
                      std::int64_t stride, std::int64_t w);

// The tables of an index, read-only, wherever they lie (built here, or
// mapped from a file). Windows are numbered 0 ... count - 1.
struct IndexTables {
  // `ranked` words of w symbols in key order, and the window of each.
  const std::uint8_t *words = nullptr;
  const std::uint32_t *windows = nullptr;
  std::int64_t ranked = 0;
  // Per leaf of index_leaf_size consecutive words (the last may hold
  // fewer): w least symbols, then w greatest.
  const std::uint8_t *boxes = nullptr;
  // Windows whose bounds the index cannot vouch for (their scale is out of
  // the ordinary range): every query computes them. Ascending.
  const std::uint32_t *irregular = nullptr;
  std::int64_t irregular_count = 0;
  // Windows with no shape (NaN distance). Ascending.
  const std::uint32_t *shapeless = nullptr;
  std::int64_t shapeless_count = 0;
};

// The number of leaves of `ranked` words. O(1).
std::int64_t leaf_count(std::int64_t ranked);

// An index's tables, owned.
struct BuiltIndex {
  std::vector<std::uint8_t> words;
  std::vector<std::uint32_t> windows;
  std::vector<std::uint8_t> boxes;
  std::vector<std::uint32_t> irregular;
  std::vector<std::uint32_t> shapeless;
  IndexTables tables() const;
};

// The most the build of an index of this shape needs at once, its tables
// included, in bytes. O(1).
double build_bytes(const IndexShape &shape);

// The bytes an index's tables hold (the series aside). O(1).
std::int64_t tables_bytes(const IndexShape &shape, const IndexTables &tables);

// Called by the build on its calling thread between steps with the windows
// done so far; may throw, which stops the build and frees what it made.
using BuildProgress = std::function<void(std::int64_t done)>;

// Builds the index of ts[0 .. shape.length - 1] on `threads` threads (at
// least 1). Throws morvel::allocation_error when its tables cannot be had,
// and what `progress` throws. Cost: three passes over every window, and a
// radix sort of the words.
BuiltIndex build_index(const IndexShape &shape, const double *ts,
                       std::int32_t threads, const BuildProgress &progress);

// Throws std::invalid_argument unless the tables are such as an index of
// this shape could hold: every window in exactly one of the three lists,
// the two short lists ascending. Reads every window number once. Whether
// they are those of the series only a build of it can tell.
void check_tables(const IndexShape &shape, const IndexTables &tables);

// What a query computed: the pruning at work.
struct SearchStats {
  std::int64_t leaf_bounds = 0;   // leaves bounded
  std::int64_t leaves = 0;        // leaves whose windows were bounded
  std::int64_t window_bounds = 0; // windows bounded
  std::int64_t distances = 0;     // exact distances begun
  std::int64_t abandoned = 0;     // of them, stopped early
  std::int64_t nearest = 0;       // self-joins: windows whose nearest was found
  SearchStats &operator+=(const SearchStats &other);
};

// The exclusion zone a query takes by default: a quarter of the window,
// rounded up. O(1).
std::int64_t default_exclusion(std::int64_t window);

// The k nearest windows to q (shape.window values), nearest first, ties to
// the lower start; no two within `exclude` positions of each other (|start
// - start'| <= exclude; 0 allows all), chosen greedily in that order.
// Writes min(k, count) distances and starts; a place no window may fill
// gets NaN and -1. With `within`, only windows at distance <= *within are
// returned (never one with no shape), and it prunes from the start: a
// search told an upper bound of its answer by other parts of a larger
// search. With `exact` false, only the leaves around q's own word are
// searched. Throws std::invalid_argument when q has no shape.
// Preconditions: check_tables passed, ts holds shape.length values, k >= 1,
// exclude >= 0, within not NaN. Cost: one pass over the leaves' bounds, then
// what they cannot prune.
void search_index(const IndexShape &shape, const IndexTables &tables,
                  const double *ts, const double *q, std::int64_t k,
                  std::int64_t exclude, std::optional<double> within,
                  bool exact, double *distances, std::int64_t *starts,
                  SearchStats &stats);

// About the most one search for k windows keeps at once beyond its results,
// in bytes: what a memory guard weighs before it starts. O(1).
double search_bytes(const IndexShape &shape, const IndexTables &tables,
                    std::int64_t k);

// The distance of q to every window, in window order: the brute force the
// search must agree with. Throws std::invalid_argument when q has no shape.
// Cost: three passes over every window.
void distance_profile(const IndexShape &shape, const double *ts,
                      const double *q, double *distances);

// The 64-bit checksum of `size` bytes that files of version 1 carry, for
// telling a damaged file from a sound one. Never throws. Cost: one pass.
std::uint64_t checksum(const void *data, std::size_t size) noexcept;

} // namespace morvel
