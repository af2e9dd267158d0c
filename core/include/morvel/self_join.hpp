// What a series says of itself over the windows an index holds: each
// window's nearest other window (the matrix profile), the windows farthest
// from every other (discords), and the pairs of windows nearest each other
// (motifs). The distance is the index's own (index.hpp), bit for bit; the
// other windows of a window are those whose start is more than `exclude`
// positions from its own, and never a window with no shape.
#pragma once

#include "morvel/index.hpp"

#include <cstdint>
#include <functional>

namespace morvel {

// Called on the calling thread between steps with the work done and the
// work there is (in windows); may throw, which stops the call after each
// thread's step and frees what it made.
using JoinProgress = std::function<void(std::int64_t done, std::int64_t total)>;

// The preconditions of every function here: check_tables passed, ts holds
// shape.length values, exclude >= 0, threads >= 1. Each throws
// morvel::allocation_error when its working memory cannot be had, and what
// `progress` throws.

// Window i's nearest other window: distances[i] and neighbours[i] (its
// start), ties to the lower start; NaN and -1 for a window with no shape,
// +inf and -1 for one without another window. Cost: every pair once, a few
// flops each in SIMD lanes, then an exact distance per window, and a
// search for the few that cannot be settled so; for a series the sweep
// does not suit (a stride, windows beyond the bounds), a search per window.
void matrix_profile(const IndexShape &shape, const IndexTables &tables,
                    const double *ts, std::int64_t exclude,
                    std::int32_t threads, const JoinProgress &progress,
                    double *distances, std::int64_t *neighbours,
                    SearchStats &stats);

// The k windows of largest matrix-profile value, greedily: the largest,
// then the largest whose start is more than `exclude` from every start
// chosen, ...; ties to the lower start; windows at NaN or +inf never.
// Writes k distances, starts and neighbours' starts, a place none fills
// at NaN, -1 and -1. Cost: every window's distance to a few windows of
// similar words, then a search per window whose bound leaves it in the
// running, each stopped at the first window nearer than the k-th best.
void discords(const IndexShape &shape, const IndexTables &tables,
              const double *ts, std::int64_t k, std::int64_t exclude,
              std::int32_t threads, const JoinProgress &progress,
              double *distances, std::int64_t *starts, std::int64_t *neighbours,
              SearchStats &stats);

// The k pairs of windows nearest each other, greedily: the nearest pair
// more than `exclude` apart, then the nearest whose both starts are more
// than `exclude` from every start chosen, ...; each pair (lower, higher),
// ties to the lower pair. Writes k distances and k rows of two starts, a
// place none fills at NaN and -1, -1. Cost per pair: the bounds of boxed
// blocks of consecutive windows against each other, split while below the
// nearest pair so far, then the distances of the pairs of windows they
// leave, each abandoned above it.
void motifs(const IndexShape &shape, const IndexTables &tables,
            const double *ts, std::int64_t k, std::int64_t exclude,
            std::int32_t threads, const JoinProgress &progress,
            double *distances, std::int64_t *starts, SearchStats &stats);

// About the most each of these keeps at once beyond its results, in bytes:
// what a memory guard weighs before it starts. O(1).
double matrix_profile_bytes(const IndexShape &shape, const IndexTables &tables,
                            std::int32_t threads);
double discords_bytes(const IndexShape &shape, const IndexTables &tables,
                      std::int64_t k, std::int32_t threads);
double motifs_bytes(const IndexShape &shape, const IndexTables &tables,
                    std::int64_t k, std::int32_t threads);

} // namespace morvel
