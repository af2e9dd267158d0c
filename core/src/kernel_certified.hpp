// Letters decided from a bound, one window per lane: each segment mean is
// estimated from prefix sums, with a proven bound on its distance from the
// mean the stretched walk computes; where no breakpoint (and no edge of the
// zero snap) lies within that bound, the estimate decides the letter, which
// is then the walk's letter. Elsewhere the cell is left for the walk. Part of
// kernel.hpp, compiled once per instruction set.
//
// The bound. u = 2^-53, gamma(k) = k u / (1 - k u), and fl(a op b) =
// (a op b)(1 + d), |d| <= u, for every operation (no contraction, no
// reassociation). For one window of n values x_k, let mu and sigma be its
// exact mean and population deviation, b_j the exact mean of block j of the
// stretched window (value k counted c_jk times, sum_k c_jk = n, c_jk <=
// min(w, n)), and M_j = (b_j - mu) / sigma. Every |M_j| <= r = sqrt(min(w,
// n)) (Cauchy-Schwarz over the block).
//
// 1. What the walk computes, m_j (before the snap), against M_j.
//    mu' = fl(sum x / n) has |mu' - mu| <= Delta = gamma(n) X + 2^-1074,
//    X = max |x_k|. var' = fl(sum fl(fl(x - mu')^2) / n) is V (1 + t),
//    |t| <= gamma(n + 3), V = sum (x - mu')^2 / n = sigma^2 + (mu - mu')^2,
//    and sd' = fl(sqrt(var')) = sqrt(V) p with 1/p <= kappa = 1 + 2
//    gamma(n + 4), p <= 1 + gamma(n + 4). Each of the block's n stretched
//    terms fl(fl(x - mu') / sd') is (x - mu')(1 + d)(1 + d') / sd', their
//    sum adds gamma(n - 1) and the division by n one more rounding:
//      m_j = sum_t (x_t - mu')(1 + theta_t) / (n sd'), |theta_t| <=
//      gamma(n + 2),
//    so |m_j - (b_j - mu') / sd'| <= gamma(n + 2) (sum_t |x_t - mu'| / n) /
//    sd' <= gamma(n + 2) r sqrt(V) / sd' <= gamma(n + 2) r kappa. Then
//    (b_j - mu') / sd' - M_j = (mu - mu') / sd' + M_j (sigma / sd' - 1),
//    with sd' >= sigma / kappa and |sigma / sd' - 1| <= beta = 2 gamma(n + 4)
//    + (Delta / sigma)^2. Hence
//      |m_j - M_j| <= E_walk = kappa (gamma(n + 2) r + Delta / sigma) + r beta.
//
// 2. The estimate. The chunk's values are shifted by c exactly (Sterbenz:
//    run.cpp shifts only when every value lies within a factor 2 of c), so
//    y = x - c are the same window moved, with the same M_j. Over a span of
//    L values with |y| <= Y, a prefix sum is a sum of at most L terms along a
//    tree of depth at most L + 1, so |sums[k] - exact| <= eP = gamma(L + 1)
//    L Y, |squares[k] - exact| <= eQ = gamma(L + 2) L Y^2, and |sums[k]| <=
//    2 L Y, |squares[k]| <= 2 L Y^2.
//    - s1 = fl(sums[e] - sums[b]): |s1 - n mu_y| <= e1 = 2 eP + 4 u L Y.
//    - mean = fl(s1 / n): |mean - mu_y| <= em = (e1 + u (n Y + e1)) / n.
//    - s2 likewise: |s2 - sum y^2| <= e2 = 2 eQ + 4 u L Y^2.
//    - v = fl(fl(s2 / n) - fl(mean^2)) against sigma^2 = sum y^2 / n -
//      mu_y^2: |v - sigma^2| <= eV = (e2 + u (n Y^2 + e2)) / n + u mean^2
//      + em (2 |mean| + em) + u (fl(s2 / n) + fl(mean^2)).
//    - The window is served only when eV <= v / 2: then sigma >= sigma_low =
//      0.69 sd, sd = fl(sqrt(v)), and |sigma - sd| / sd <= es = (eV / v +
//      u)(1 + 2u).
//    - Block sums from G(p) = fl(fl(w sums[q]) + fl(r y[q])), p = q w + r:
//      |G - exact| <= eG = w (eP + 6 u (L + 1) Y); B = fl(G(e) - G(b)) has
//      |B - n b_j| <= eB = 2 eG + 6 u w (L + 1) Y; D = fl(B - s1) has
//      |D - n (b_j - mu_y)| <= eD = eB + e1 + u (2 n Y + eB + e1).
//    - m = fl(D a), a = fl(1 / fl(n sd)), is D / (n sd) (1 + theta_3):
//      |m - M_j| <= E_estimate = gamma(3) (r (1 + es) + eD / (n sd)) +
//      eD / (n sd) + r es.
//
// 3. With sigma >= sigma_low >= 2^-300 and X <= 2^300 nothing overflows, and
//    underflow adds less than eta = 2^-400 to |m_j - M_j| in all. Each bound
//    above is evaluated with at most 40 roundings of non-negative terms, so
//    its computed value is at least (1 - gamma(40)) times its own; doubling
//    the sum covers that and the rounding of m -/+ E (u (|m| + E), |m| <= r
//    + 1):
//      E = 2 (E_walk + E_estimate + eta + u (r + 2)), served when E <= 1/4.
//    Then m - E <= m_j <= m + E. The snap (|m| < 1e-6 gives +0.0) and the
//    count of breakpoints <= a mean are both non-decreasing, so when the
//    snapped bounds have the same letter, so does m_j: that is the letter.
#pragma once

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

double error_factor(double k) {
  constexpr double unit = 0x1p-53;
  return k * unit / (1.0 - k * unit);
}

// Lane l of `values` at offset + starts[l]: one load when the windows are
// neighbours.
vec gather(const double *values, std::int64_t offset,
           const std::int64_t (&starts)[width], bool neighbours) {
  if (neighbours)
    return load(values + offset + starts[0]);
  vec v = broadcast(0.0);
  for (int l = 0; l < width; ++l)
    set_lane(v, l, values[offset + starts[l]]);
  return v;
}

// The letter of a mean after the zero snap, as 0 ... cut_count.
int letter_number(double mean, const double *cuts, std::int32_t cut_count) {
  const double snapped = absolute(mean) < zero_snap_threshold ? 0.0 : mean;
  int position = 0;
  for (std::int32_t k = 0; k < cut_count; ++k)
    position += !(snapped < cuts[k]);
  return position;
}

void certified_kernel(CertifiedArgs &a) {
  constexpr double unit = 0x1p-53;
  const double n = a.n;
  const std::int64_t w = a.w;
  const double L = static_cast<double>(a.span);
  const double Y = a.largest_shifted;
  const double X = a.largest;
  const double r = square_root(static_cast<double>(a.n < a.w ? a.n : a.w));

  // The chunk's terms, the same for every window.
  const double eP = error_factor(L + 1.0) * L * Y;
  const double eQ = error_factor(L + 2.0) * L * Y * Y;
  const double e1 = 2.0 * eP + 4.0 * unit * L * Y;
  const double em = (e1 + unit * (n * Y + e1)) / n;
  const double e2 = 2.0 * eQ + 4.0 * unit * L * Y * Y;
  const double e2n = (e2 + unit * (n * Y * Y + e2)) / n;
  const double eG = static_cast<double>(w) * (eP + 6.0 * unit * (L + 1.0) * Y);
  const double eB =
      2.0 * eG + 6.0 * unit * static_cast<double>(w) * (L + 1.0) * Y;
  const double eD = eB + e1 + unit * (2.0 * n * Y + eB + e1);
  const double delta = error_factor(n) * X + 0x1p-1074;
  const double kappa = 1.0 + 2.0 * error_factor(n + 4.0);
  const double walk_rounding = kappa * error_factor(n + 2.0) * r;
  const double g3 = error_factor(3.0);
  const double fixed = 0x1p-400 + unit * (r + 2.0);

  const vec length = broadcast(n);
  const vec zero = broadcast(0.0);
  const vec shift = broadcast(a.shift);
  const vec repetitions = broadcast(static_cast<double>(w));
  const double *cuts = a.cells.cuts;
  const std::int32_t cut_count = a.cells.cut_count;
  const auto columns = static_cast<std::size_t>(w);
  const bool neighbours = a.stride == 1;
  const bool in_range = X <= 0x1p300;
  const char *const grid = a.cells.grid;
  char *const letters = a.cells.letters;
  const std::int64_t whole_values = a.n / w;
  const std::int64_t part_values = a.n % w;
  std::int64_t undecided = 0;

  for (std::int64_t first = 0; first < a.count; first += width) {
    const std::int64_t left = a.count - first;
    const int valid = left < width ? static_cast<int>(left) : width;
    std::int64_t starts[width];
    vec lanes_valid = zero;
    for (int l = 0; l < width; ++l) {
      starts[l] = (first + (l < valid ? l : valid - 1)) * a.stride;
      set_lane(lanes_valid, l, l < valid && in_range ? 1.0 : 0.0);
    }
    const bool contiguous = neighbours && valid == width;

    // The window's estimates and its bound E (section 2 and 3 above).
    const vec s1 = gather(a.sums, a.n, starts, contiguous) -
                   gather(a.sums, 0, starts, contiguous);
    const vec s2 = gather(a.squares, a.n, starts, contiguous) -
                   gather(a.squares, 0, starts, contiguous);
    const vec mean = s1 / length;
    const vec second = s2 / length;
    const vec mean_square = mean * mean;
    const vec v = second - mean_square;
    const vec size = select(less(mean, zero), zero - mean, mean);
    const vec eV = broadcast(e2n) + broadcast(unit) * size * size +
                   broadcast(em) * (broadcast(2.0) * size + broadcast(em)) +
                   broadcast(unit) * (second + mean_square);
    vec sd = zero;
    for (int l = 0; l < width; ++l)
      set_lane(sd, l, square_root(lane(v, l)));
    const vec low = broadcast(0.69) * sd;
    const vec es = (eV / v + broadcast(unit)) * broadcast(1.0 + 2.0 * unit);
    const vec ratio = broadcast(delta) / low;
    const vec beta = broadcast(2.0 * error_factor(n + 4.0)) + ratio * ratio;
    const vec e_walk = broadcast(walk_rounding) + broadcast(kappa) * ratio +
                       broadcast(r) * beta;
    const vec scale = broadcast(1.0) / (length * sd);
    const vec block = broadcast(eD) * scale;
    const vec e_estimate =
        broadcast(g3) * (broadcast(r) * (broadcast(1.0) + es) + block) + block +
        broadcast(r) * es;
    const vec bound = broadcast(2.0) * (e_walk + e_estimate + broadcast(fixed));
    // NaN anywhere fails every comparison, so leaves the window unserved.
    const mask served =
        both(both(less(zero, v), not_greater(eV, broadcast(0.5) * v)),
             both(both(not_greater(broadcast(0x1p-300), low),
                       not_greater(bound, broadcast(0.25))),
                  less(zero, lanes_valid)));

    // Windows whose bound is within half a grid step look their letters up;
    // the others, and means beyond the grid, count breakpoints instead.
    const mask fast =
        both(served, not_greater(bound, broadcast(0.5 / letter_grid_scale)));
    bool lane_served[width];
    for (int l = 0; l < width; ++l)
      lane_served[l] = lane(served, l) != 0;
    const vec last_cell = broadcast(letter_grid_cells - 1);
    const vec beyond = broadcast(letter_grid_cells);

    // G(p) at the start of each block, p = j n = q w + part, then each
    // block's letter, or 0 where the bounds' letters differ.
    std::int64_t q = 0;
    std::int64_t part = 0;
    auto block_start = [&]() {
      vec g = repetitions * gather(a.sums, q, starts, contiguous);
      if (part != 0)
        g += broadcast(static_cast<double>(part)) *
             (gather(a.ts, q, starts, contiguous) - shift);
      return g;
    };
    vec start = block_start();
    char *row = letters + static_cast<std::size_t>(first) * columns;
    for (std::int64_t j = 0; j < w; ++j) {
      q += whole_values;
      part += part_values;
      if (part >= w) {
        part -= w;
        ++q;
      }
      const vec end = block_start();
      const vec m = ((end - start) - s1) * scale;
      start = end;
      // The cell, within one of floor(m scale) + offset: the sum rounds
      // only near an edge. Lanes not looked up read the grid's last byte,
      // 0, and are then counted.
      vec cell =
          m * broadcast(letter_grid_scale) + broadcast(letter_grid_offset);
      const mask looked_up =
          both(fast, both(less(zero, cell), less(cell, last_cell)));
      const whole at = truncate(select(looked_up, cell, beyond));
      for (int l = 0; l < valid; ++l) {
        char code = grid[lane(at, l)];
        if (code == 0) {
          if (lane_served[l]) {
            const double ml = lane(m, l);
            const double bl = lane(bound, l);
            const int below = letter_number(ml - bl, cuts, cut_count);
            if (below == letter_number(ml + bl, cuts, cut_count))
              code = static_cast<char>('a' + below);
          }
          undecided += code == 0;
        }
        row[static_cast<std::size_t>(l) * columns +
            static_cast<std::size_t>(j)] = code;
      }
    }
  }
  a.undecided = undecided;
}

} // namespace
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
