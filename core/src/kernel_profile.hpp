// The matrix profile's sweep, one tile (ProfileArgs in kernel_interface.hpp):
// a lane per stretch of rows, the diagonals one after another. What it
// computes only ranks candidates; profile_sweep.cpp proves every answer
// from the exact distance, so these sums may run in any order the bound on
// their error allows. Part of kernel.hpp, compiled once per instruction set.
#pragma once

#include <limits>

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

// Folded at compile time: no function of a shared header is called.
constexpr double unseen = -std::numeric_limits<double>::infinity();

// v enters a (largest, second, partner) triple, written so that a NaN v
// changes nothing (each comparison with it is false) and so that the
// compiler may take each line for one min, max or blend instruction.
struct Leaders {
  vec best;
  vec second;
  vec partner;
};
#if !defined(MORVEL_KERNEL_PLAIN)
inline void enter(Leaders &leaders, const vec &v, const vec &partner) {
  const vec other = leaders.best < v ? leaders.best : v;
  leaders.second = other > leaders.second ? other : leaders.second;
  leaders.partner = leaders.best < v ? partner : leaders.partner;
  leaders.best = v > leaders.best ? v : leaders.best;
}
#else
inline void enter(Leaders &leaders, const vec &v, const vec &partner) {
  const mask above = less(leaders.best, v);
  const vec other = select(above, leaders.best, v);
  leaders.second = select(less(leaders.second, other), other, leaders.second);
  leaders.partner = select(above, partner, leaders.partner);
  leaders.best = select(above, v, leaders.best);
}
#endif

// Diagonals a row pass takes: their columns' triples stay in the first
// level of cache from one row to the next.
constexpr std::int64_t profile_band = 64;

// Row s against diagonals first ... last - 1.
template <bool First>
void profile_row(const ProfileArgs &a, std::int64_t s, std::int64_t first,
                 std::int64_t last) {
  const std::int64_t n = a.n;
  const double *__restrict row_values = a.row_values;
  const double *__restrict values = a.column_values;
  const double *__restrict means = a.column_means;
  const double *__restrict scales = a.column_scales;
  double *__restrict products = a.products;
  double *__restrict best = a.column_best;
  double *__restrict second = a.column_second;
  double *__restrict partner = a.column_partner;
  const vec sums = load(a.row_sums + s * width);
  const vec own_scale = load(a.row_scales + s * width);
  vec entering = broadcast(0.0), leaving = broadcast(0.0);
  if constexpr (!First) {
    entering = load(row_values + (s + n - 1) * width);
    leaving = load(row_values + (s - 1) * width);
  }
  Leaders row{broadcast(unseen), broadcast(unseen), broadcast(-1.0)};
  if (first > 0)
    row = {load(a.row_best + s * width), load(a.row_second + s * width),
           load(a.row_partner + s * width)};
  const vec own = broadcast(static_cast<double>(s));
  const vec one = broadcast(1.0);
  vec diagonal = broadcast(static_cast<double>(first));
  for (std::int64_t k = first; k < last; ++k, diagonal = diagonal + one) {
    const std::int64_t c = s + k;
    vec product;
    if constexpr (First) {
      product = load(products + k * width);
    } else {
      product = (load(products + k * width) +
                 entering * load(values + (c + n - 1) * width)) -
                leaving * load(values + (c - 1) * width);
    }
    store(products + k * width, product);
    const vec v = ((product - sums * load(means + c * width)) * own_scale) *
                  load(scales + c * width);
    enter(row, v, diagonal);
    Leaders column{load(best + c * width), load(second + c * width),
                   load(partner + c * width)};
    enter(column, v, own);
    store(best + c * width, column.best);
    store(second + c * width, column.second);
    store(partner + c * width, column.partner);
  }
  store(a.row_best + s * width, row.best);
  store(a.row_second + s * width, row.second);
  store(a.row_partner + s * width, row.partner);
}

void profile_kernel(const ProfileArgs &a) {
  if (a.rows <= 0)
    return;
  // The first row's exact products, each diagonal's in one chain, the
  // chains side by side.
  double *products = a.products;
  for (std::int64_t k = 0; k < a.diagonals; ++k)
    store(products + k * width, broadcast(0.0));
  for (std::int64_t t = 0; t < a.n; ++t) {
    const vec y = load(a.row_values + t * width);
    for (std::int64_t k = 0; k < a.diagonals; ++k)
      store(products + k * width,
            load(products + k * width) +
                y * load(a.column_values + (k + t) * width));
  }
  const vec start = broadcast(a.start[0]);
  for (std::int64_t k = 0; k < a.diagonals; ++k)
    store(products + k * width, load(products + k * width) + start);
  for (std::int64_t first = 0; first < a.diagonals; first += profile_band) {
    const std::int64_t last =
        first + profile_band < a.diagonals ? first + profile_band : a.diagonals;
    profile_row<true>(a, 0, first, last);
    for (std::int64_t s = 1; s < a.rows; ++s)
      profile_row<false>(a, s, first, last);
  }
}

} // namespace
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
