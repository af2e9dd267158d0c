// For tests, benchmarks and the fuzzer: a whole result as one row-major
// grid, gathered from a plan's tiles.
#pragma once

#include <morvel/plan.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace morvel::testing {

// count rows of w cells in one row-major block: cells[i * columns + j].
template <typename T> struct Grid {
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::vector<T> cells;
};

// Through run() into one array: the path numpy's arrays take, and through
// it the tile sinks every other caller brings.
template <typename T>
Grid<T> run_into_grid(const Plan &plan, const double *ts) {
  Grid<T> grid;
  grid.columns = plan.shape.columns;
  grid.cells.resize(plan.shape.rows * plan.shape.columns);
  grid.rows = run(plan, ts, grid.cells.data());
  return grid;
}

// Row i of a grid of letters, as text.
inline std::string row_text(const Grid<char> &grid, std::size_t i) {
  return std::string(grid.cells.data() + i * grid.columns, grid.columns);
}

// The whole result as one grid. Throws as plan_paa / plan_sax.
inline Grid<double> paa_grid(const double *ts, std::size_t length,
                             std::int32_t window, std::int32_t stride,
                             std::int32_t w, Execution how = {}) {
  return run_into_grid<double>(plan_paa(length, window, stride, w, how), ts);
}

inline Grid<char> sax_grid(const double *ts, std::size_t length,
                           std::int32_t window, std::int32_t stride,
                           std::int32_t w, std::int32_t alpha,
                           Execution how = {}) {
  return run_into_grid<char>(plan_sax(length, window, stride, w, alpha, how),
                             ts);
}

} // namespace morvel::testing
