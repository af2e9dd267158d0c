// What a query of morvel.Index is given, read once: its rows of q, their
// `within`, and the threads it may take.
#pragma once

#include "input_conversion.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace morvel::binding {

// Every core, at least one.
std::int32_t default_threads();

// `threads` as given (None: every core), refused below 1, at most 1024.
std::int32_t thread_count(const std::optional<std::int64_t> &threads);

// Queries as the core reads them: rows of `window` doubles.
struct Queries {
  std::unique_ptr<InputSeries> series; // one query
  pybind11::array array;               // or rows of a 2-D array
  std::vector<double> rows_read;       // or rows read one by one
  const double *data = nullptr;
  std::int64_t rows = 0;
  bool two_dimensional = false;
};

// Reads q: one series (read as ts is), a 2-D numeric numpy array or buffer
// of rows, or a list or tuple of rows, each of `window` values. Throws
// TypeError for anything else and ValueError for rows of another length.
Queries read_queries(pybind11::handle q, std::int64_t window);

// `within` for each row of queries: None (no limit), one number for every
// row, or (for rows) one number per row; never NaN.
std::vector<std::optional<double>>
limits_of(pybind11::handle within, std::int64_t rows, bool two_dimensional);

} // namespace morvel::binding
