// The matrix profile two ways: by a sweep of every pair, each answer
// proven from its exact distance (profile_sweep.cpp), and by a search per
// window (matrix_profile.cpp), for the series the sweep does not suit.
#pragma once

#include "self_join.hpp"

namespace morvel::detail {

// matrix_profile's answers, bit for bit, when the series suits the sweep
// (windows one value apart, none beyond the bounds, values below 1e150,
// at most a few windows too flat for their level); false, with the results
// undefined, when it does not. The results' own 16 bytes a window hold the
// sweep's state. Cost: every pair once, a few flops each, then an exact
// distance per window, and a search for the few the sweep cannot settle.
bool sweep_profile(const IndexShape &shape, const IndexTables &tables,
                   const double *ts, std::int64_t exclude, std::int32_t threads,
                   const JoinProgress &progress, double *distances,
                   std::int64_t *neighbours, SearchStats &stats);

// matrix_profile's answers by a search per window (any series). Cost: a
// search per window, each started from the neighbour of the window before.
void search_profile(const IndexShape &shape, const IndexTables &tables,
                    const double *ts, std::int64_t exclude,
                    std::int32_t threads, const JoinProgress &progress,
                    double *distances, std::int64_t *neighbours,
                    SearchStats &stats);

// The sweep's working memory beyond the results. O(1).
double sweep_bytes(const IndexShape &shape, std::int32_t threads);

} // namespace morvel::detail
