// paa and sax on top of a plan: the result as one vector per row.
#pragma once

#include "morvel/plan.hpp"

#include <cstddef>
#include <new>
#include <stdexcept>
#include <vector>

namespace morvel::detail {

// Runs `plan` over ts and keeps each row of each tile as its own vector.
template <typename T>
std::vector<std::vector<T>> collect_rows(const Plan &plan, const double *ts) {
  std::vector<std::vector<T>> result;
  const std::size_t w = plan.shape.columns;
  try {
    result.reserve(plan.shape.rows);
  } catch (const std::length_error &) {
    throw allocation_error();
  } catch (const std::bad_alloc &) {
    throw allocation_error();
  }
  const TileSink<T> sink = [&result, w](std::size_t, std::size_t rows,
                                        const T *cells) {
    try {
      for (std::size_t i = 0; i < rows; ++i)
        result.emplace_back(cells + i * w, cells + (i + 1) * w);
    } catch (const std::bad_alloc &) {
      throw allocation_error();
    }
  };
  run(plan, ts, sink);
  return result;
}

} // namespace morvel::detail
