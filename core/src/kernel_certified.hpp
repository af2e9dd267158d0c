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
//    X >= max |x_k|. var' = fl(sum fl(fl(x - mu')^2) / n) is V (1 + t),
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
//    certified.cpp shifts only when every value lies within a factor 2 of c),
//    so y = x - c are the same window moved, with the same M_j. Over a span of
//    L values with |y| <= Y, a prefix sum is a running sum of at most L
//    terms, so (generously) |sums[k] - exact| <= eP = gamma(L + 1) L Y,
//    |squares[k] - exact| <= eQ = gamma(L + 2) L Y^2, and |sums[k]| <= 2 L Y,
//    |squares[k]| <= 2 L Y^2.
//    - s1 = fl(sums[e] - sums[b]): |s1 - n mu_y| <= e1 = 2 eP + 4 u L Y.
//    - mean = fl(s1 fl(1 / n)) = s1 / n (1 + theta_2): |mean - mu_y| <= em
//      = (e1 + gamma(2) (n Y + e1)) / n.
//    - s2 likewise: |s2 - sum y^2| <= e2 = 2 eQ + 4 u L Y^2.
//    - v = fl(second - fl(mean^2)), second = fl(s2 fl(1 / n)), against
//      sigma^2 = sum y^2 / n - mu_y^2: |v - sigma^2| <= eV = (e2 + gamma(2)
//      (n Y^2 + e2)) / n + u mean^2 + em (2 |mean| + em) + u (second +
//      fl(mean^2)); second >= 0, as sums of squares only grow.
//    - The window is served only when eV <= v / 2: then sigma >= sigma_low =
//      0.69 sd, sd = fl(sqrt(v)), and |sigma - sd| / sd <= es = (eV / v +
//      u)(1 + 2u).
//    - Block sums from G(p), p = q w + r: fl(w sums[q]) when r = 0, else
//      fl(fl((w - r) sums[q]) + fl(r sums[q + 1])), whose exact value is w
//      P_q + r y_q all the same: |G - exact| <= eG = w (eP + 6 u (L + 1) Y)
//      (the weights add up to w; three roundings of at most 2 w L Y
//      each); B = fl(G(e) - G(b)) has
//      |B - n b_j| <= eB = 2 eG + 6 u w (L + 1) Y; D = fl(B - s1) has
//      |D - n (b_j - mu_y)| <= eD = eB + e1 + u (2 n Y + eB + e1).
//    - m = fl(D a), a = fl(1 / fl(n sd)), is D / (n sd) (1 + theta_3):
//      |m - M_j| <= E_estimate = gamma(3) (r (1 + es) + eD / (n sd)) +
//      eD / (n sd) + r es.
//
// 3. With sigma >= sigma_low >= 2^-300 and X <= 2^300 (certified.cpp
//    refuses a chunk with a larger value, a NaN or an infinity) nothing
//    overflows (L Y^2 <= 2^620), and underflow adds less than eta = 2^-400
//    to |m_j - M_j| in all: each underflowing square or quotient is off by
//    at most 2^-1075, against sums of squares of at least n sigma^2 >=
//    2^-600 (a relative 2^-440 at most, times r <= 2^8) and means of at
//    least 2^-1074 resolution. Each bound above is evaluated with at most
//    40 roundings of non-negative terms (a division by sd or v as a product
//    with scale = fl(1 / fl(n sd)), which is 1 / (n sqrt(v)) within 4
//    roundings), so its computed value is at least (1 - gamma(50)) times
//    its own; doubling the sum covers that and the rounding of m -/+ E
//    (u (|m| + E), |m| <= r + 1):
//      E = 2 (E_walk + E_estimate + eta + u (r + 2)), served when E <= 1/4.
//    Then m - E <= m_j <= m + E. The snap (|m| < 1e-6 gives +0.0) and the
//    count of breakpoints <= a mean are both non-decreasing, so when the
//    snapped bounds have the same letter, so does m_j: that is the letter.
//    When E is within half a step of the alphabet's letter grid, the grid
//    gives that letter (or 0 where a breakpoint is too near, see
//    alphabet.hpp); otherwise both ends are counted.
//
// X and Y are the chunk's, at least each window's own.
#pragma once

namespace morvel::detail::MORVEL_KERNEL_NAMESPACE {
namespace {

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

// The letter of a mean after the zero snap.
char snapped_letter(double mean, const double *cuts, std::int32_t cut_count) {
  return letter(absolute(mean) < zero_snap_threshold ? 0.0 : mean, cuts,
                cut_count);
}

// The cell of each lane's mean m = fl(D a) in the letter grid: fl(fl(D a
// grid_scale) + offset), within one of floor(m grid_scale) + offset (the
// scaling by a power of two is exact, the sum rounds only near an edge); or
// the grid's last byte, 0, for lanes not looked up. Means of served windows
// lie within r + 1/4 of 0; when that is inside the grid (`inside`), no cell
// needs clamping.
template <bool inside>
whole grid_cells(const vec &d, const vec &grid_scale, const mask &fast) {
  const vec cell = d * grid_scale + broadcast(letter_grid_offset);
  mask looked_up = fast;
  if (!inside)
    looked_up = both(fast, both(less(broadcast(0.0), cell),
                                less(cell, broadcast(letter_grid_cells - 1))));
  return truncate(select(looked_up, cell, broadcast(letter_grid_cells)));
}

// G(p) for p = q w + part, as the bound's section 2 defines it, from the
// window prefix sums `at` returns for a value index; `weight` is part, and
// `rest` w - part, as doubles.
template <typename At>
vec block_start(const At &at, std::int64_t q, double weight, double rest,
                const vec &repetitions) {
  if (weight == 0.0)
    return repetitions * at(q);
  return broadcast(rest) * at(q) + broadcast(weight) * at(q + 1);
}

// The letters of `valid` windows side by side, whose prefix sums `at`
// returns: each block's mean estimated and looked up in the grid, its
// letter stored in rows of w cells from `row`, or 0 where the grid cannot
// tell. Everything it uses is its own (a byte store may alias anything
// reached through a reference, which would then be loaded again after
// every letter). Returns whether every cell got a letter.
template <bool inside, typename At>
bool letters_from(const At &at, int valid, std::int64_t n, std::int64_t w,
                  vec s1, vec scale, mask fast, const char *grid, char *row) {
  const std::int64_t whole_values = n / w;
  const auto part_values = static_cast<double>(n % w);
  const auto repetitions_count = static_cast<double>(w);
  const vec repetitions = broadcast(repetitions_count);
  const vec grid_scale = scale * broadcast(letter_grid_scale);
  const auto columns = static_cast<std::size_t>(w);
  std::int64_t q = 0;
  double weight = 0.0; // whole numbers below w: exact
  vec start = block_start(at, q, weight, repetitions_count, repetitions);
  // Every letter has the bits 0x60 ('a' is 0x61, 'x' 0x78): their
  // conjunction is 0 only when a cell is.
  char every = 0x60;
  for (std::int64_t j = 0; j < w; ++j) {
    q += whole_values;
    weight += part_values;
    if (weight >= repetitions_count) {
      weight -= repetitions_count;
      ++q;
    }
    const vec end =
        block_start(at, q, weight, repetitions_count - weight, repetitions);
    const whole cell = grid_cells<inside>((end - start) - s1, grid_scale, fast);
    start = end;
    char *cells = row + j;
    if (valid == width) {
      MORVEL_UNROLLED for (int l = 0; l < width; ++l) {
        const char code = grid[lane(cell, l)];
        every &= code;
        cells[static_cast<std::size_t>(l) * columns] = code;
      }
    } else {
      for (int l = 0; l < valid; ++l) {
        const char code = grid[lane(cell, l)];
        every &= code;
        cells[static_cast<std::size_t>(l) * columns] = code;
      }
    }
  }
  return every != 0;
}

// Whether every served mean, within r + 1/4 of 0, has its cell inside the
// grid, a cell from either end.
bool inside_grid(std::int64_t n, std::int64_t w) {
  const double r = square_root(static_cast<double>(n < w ? n : w));
  return r + 0.25 < letter_grid_offset / letter_grid_scale - 0.01;
}

// A whole group of neighbouring windows: their prefix sums are one vector.
bool group_letters(const double *sums, std::int64_t n, std::int64_t w, vec s1,
                   vec scale, mask fast, const char *grid, char *row) {
  auto at = [sums](std::int64_t q) { return load(sums + q); };
  return inside_grid(n, w)
             ? letters_from<true>(at, width, n, w, s1, scale, fast, grid, row)
             : letters_from<false>(at, width, n, w, s1, scale, fast, grid, row);
}

// Any other group: each lane's prefix sums from its own start.
bool strided_group_letters(const double *sums,
                           const std::int64_t (&group_starts)[width], int valid,
                           std::int64_t n, std::int64_t w, vec s1, vec scale,
                           mask fast, const char *grid, char *row) {
  std::int64_t starts[width];
  for (int l = 0; l < width; ++l)
    starts[l] = group_starts[l];
  auto at = [sums, &starts](std::int64_t q) {
    return gather(sums, q, starts, false);
  };
  return letters_from<false>(at, valid, n, w, s1, scale, fast, grid, row);
}

void certified_kernel(CertifiedArgs &a) {
  constexpr double unit = unit_roundoff;
  const double n = a.n;
  const std::int64_t w = a.w;
  const double L = static_cast<double>(a.span);
  const double Y = a.largest_shifted;
  const double X = a.largest;
  const double r = square_root(static_cast<double>(a.n < a.w ? a.n : a.w));

  // The chunk's terms, the same for every window.
  const double eP = relative_error(L + 1.0) * L * Y;
  const double eQ = relative_error(L + 2.0) * L * Y * Y;
  const double e1 = 2.0 * eP + 4.0 * unit * L * Y;
  const double em = (e1 + relative_error(2.0) * (n * Y + e1)) / n;
  const double e2 = 2.0 * eQ + 4.0 * unit * L * Y * Y;
  const double e2n = (e2 + relative_error(2.0) * (n * Y * Y + e2)) / n;
  const double eG = static_cast<double>(w) * (eP + 6.0 * unit * (L + 1.0) * Y);
  const double eB =
      2.0 * eG + 6.0 * unit * static_cast<double>(w) * (L + 1.0) * Y;
  const double eD = eB + e1 + unit * (2.0 * n * Y + eB + e1);
  const double delta = relative_error(n) * X + 0x1p-1074;
  const double kappa = 1.0 + 2.0 * relative_error(n + 4.0);
  const double walk_rounding = kappa * relative_error(n + 2.0) * r;
  const double g3 = relative_error(3.0);
  const double fixed = 0x1p-400 + unit * (r + 2.0);

  const vec length = broadcast(n);
  const vec reciprocal = broadcast(1.0 / n);
  const vec zero = broadcast(0.0);
  const vec repetitions = broadcast(static_cast<double>(w));
  const double *cuts = a.cells.cuts;
  const std::int32_t cut_count = a.cells.cut_count;
  const auto columns = static_cast<std::size_t>(w);
  const bool neighbours = a.stride == 1;
  const char *const grid = a.cells.grid;
  char *const letters = a.cells.letters;
  std::int64_t undecided = 0;

  // A group is `width` windows side by side, from window `first`; lanes past
  // the chunk's end repeat its last window and are never served.
  struct Group {
    std::int64_t first;
    int valid;
    bool contiguous;
    std::int64_t starts[width];
  };
  auto group_at = [&](std::int64_t first) {
    Group g{};
    g.first = first;
    const std::int64_t left = a.count - first;
    g.valid = left < width ? static_cast<int>(left) : width;
    for (int l = 0; l < width; ++l)
      g.starts[l] = (first + (l < g.valid ? l : g.valid - 1)) * a.stride;
    g.contiguous = neighbours && g.valid == width;
    return g;
  };

  // What the letters of a group's windows need: the window sum, 1 / (n sd),
  // the bound E, whether E serves, and whether it is within half a grid
  // step (so the letters can be looked up).
  struct Terms {
    vec s1;
    vec scale;
    vec bound;
    mask served;
    mask fast;
  };
  auto terms_of = [&](const Group &g) {
    vec lanes_valid = zero;
    for (int l = 0; l < width; ++l)
      set_lane(lanes_valid, l, l < g.valid ? 1.0 : 0.0);
    Terms t;
    // The window's estimates and its bound E (section 2 and 3 above).
    t.s1 = gather(a.sums, a.n, g.starts, g.contiguous) -
           gather(a.sums, 0, g.starts, g.contiguous);
    const vec s2 = gather(a.squares, a.n, g.starts, g.contiguous) -
                   gather(a.squares, 0, g.starts, g.contiguous);
    const vec mean = t.s1 * reciprocal;
    const vec second = s2 * reciprocal;
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
    t.scale = broadcast(1.0) / (length * sd);
    const vec over_sd = length * t.scale; // 1 / sd, and its square 1 / v
    const vec es = (eV * over_sd * over_sd + broadcast(unit)) *
                   broadcast(1.0 + 2.0 * unit);
    const vec ratio = broadcast(delta / 0.69) * over_sd; // delta / low
    const vec beta = broadcast(2.0 * relative_error(n + 4.0)) + ratio * ratio;
    const vec e_walk = broadcast(walk_rounding) + broadcast(kappa) * ratio +
                       broadcast(r) * beta;
    const vec block = broadcast(eD) * t.scale;
    const vec e_estimate =
        broadcast(g3) * (broadcast(r) * (broadcast(1.0) + es) + block) + block +
        broadcast(r) * es;
    t.bound = broadcast(2.0) * (e_walk + e_estimate + broadcast(fixed));
    // NaN anywhere fails every comparison, so leaves the window unserved.
    t.served = both(both(less(zero, v), not_greater(eV, broadcast(0.5) * v)),
                    both(both(not_greater(broadcast(0x1p-300), low),
                              not_greater(t.bound, broadcast(0.25))),
                         less(zero, lanes_valid)));
    t.fast = both(t.served,
                  not_greater(t.bound, broadcast(0.5 / letter_grid_scale)));
    return t;
  };

  // The letters the grid left open, one by one: the same estimate, computed
  // lane by lane, and the breakpoints counted at both ends of its bound.
  // Returns the letters still open, left 0 for the walk.
  auto settle = [&](const Group &g, const Terms &t) {
    std::int64_t open = 0;
    for (int l = 0; l < g.valid; ++l) {
      char *row = letters + static_cast<std::size_t>(g.first + l) * columns;
      const double *sums = a.sums + g.starts[l];
      // G(p) at p = j n = q w + part, reached by division: only open
      // cells need it, and they are few.
      auto block_start = [sums, w](std::int64_t p) {
        const std::int64_t q = p / w;
        const auto weight = static_cast<double>(p % w);
        if (weight == 0.0)
          return static_cast<double>(w) * sums[q];
        return (static_cast<double>(w) - weight) * sums[q] +
               weight * sums[q + 1];
      };
      for (std::int64_t j = 0; j < w; ++j) {
        // Eight cells at a time while none of them is 0.
        if (j % 8 == 0 && j + 8 <= w) {
          std::uint64_t eight = 0;
          for (int k = 0; k < 8; ++k)
            eight |= static_cast<std::uint64_t>(
                         static_cast<unsigned char>(row[j + k]))
                     << (8 * k);
          if (((eight - 0x0101010101010101u) & ~eight & 0x8080808080808080u) ==
              0) {
            j += 7;
            continue;
          }
        }
        if (row[j] != 0)
          continue;
        if (lane(t.served, l) != 0) {
          const double m =
              ((block_start((j + 1) * a.n) - block_start(j * a.n)) -
               lane(t.s1, l)) *
              lane(t.scale, l);
          const double bound = lane(t.bound, l);
          const char below = snapped_letter(m - bound, cuts, cut_count);
          if (below == snapped_letter(m + bound, cuts, cut_count))
            row[j] = below;
        }
        open += row[j] == 0;
      }
    }
    return open;
  };

  // A group's letters, from its terms: G(p) at the start of each block, p =
  // j n = q w + part, then each block's letter looked up, or 0 where the
  // grid cannot tell, settled afterwards.
  auto letters_of = [&](const Group &g, const Terms &t) {
    char *row = letters + static_cast<std::size_t>(g.first) * columns;
    const bool complete =
        g.contiguous ? group_letters(a.sums + g.starts[0], a.n, w, t.s1,
                                     t.scale, t.fast, grid, row)
                     : strided_group_letters(a.sums, g.starts, g.valid, a.n, w,
                                             t.s1, t.scale, t.fast, grid, row);
    if (!complete)
      undecided += settle(g, t);
  };

  // The terms of a batch of groups first, where their divisions and square
  // roots overlap, then their letters.
  constexpr int batch = 16;
  for (std::int64_t first = 0; first < a.count; first += batch * width) {
    Terms terms[batch];
    int count = 0;
    for (; count < batch && first + count * width < a.count; ++count)
      terms[count] = terms_of(group_at(first + count * width));
    for (int i = 0; i < count; ++i)
      letters_of(group_at(first + i * width), terms[i]);
  }
  a.undecided = undecided;
}

} // namespace
} // namespace morvel::detail::MORVEL_KERNEL_NAMESPACE
