// What a query of morvel.Index is given, read once: its rows of q, their
// `within`, and the threads it may take.
#include "query_arguments.hpp"

#include "input_conversion.hpp"
#include "memory_guard.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <thread>

namespace py = pybind11;

namespace morvel::binding {

std::int32_t default_threads() {
  return static_cast<std::int32_t>(
      std::max(1U, std::thread::hardware_concurrency()));
}

std::int32_t thread_count(const std::optional<std::int64_t> &threads) {
  if (!threads)
    return default_threads();
  if (*threads < 1)
    throw py::value_error("threads must be at least 1, not " +
                          std::to_string(*threads));
  return static_cast<std::int32_t>(std::min<std::int64_t>(*threads, 1024));
}

namespace {

// How q holds its queries: one series, a numeric numpy array of rows (read
// as float64 by numpy), or a list or tuple of rows (each read as a series).
enum class QueryForm { one, array_rows, listed_rows };

QueryForm query_form(py::handle q) {
  const py::module_ numpy = py::module_::import("numpy");
  if (PyObject_CheckBuffer(q.ptr())) {
    Py_buffer view;
    if (PyObject_GetBuffer(q.ptr(), &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
      PyErr_Clear();
      return QueryForm::one;
    }
    const int dimensions = view.ndim;
    PyBuffer_Release(&view);
    if (dimensions != 2)
      return QueryForm::one;
    const bool plain = py::type::handle_of(q).is(numpy.attr("ndarray")) ||
                       PyMemoryView_Check(q.ptr());
    const char kind = py::array(numpy.attr("asarray")(q)).dtype().kind();
    if (!plain || !(kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b'))
      throw py::type_error("rows of queries must be a 2-D numpy array of "
                           "real numbers, or a list of rows");
    return QueryForm::array_rows;
  }
  if ((PyList_CheckExact(q.ptr()) || PyTuple_CheckExact(q.ptr())) &&
      py::len(q) > 0) {
    const py::handle first = q[py::int_(0)];
    if (PyList_Check(first.ptr()) || PyTuple_Check(first.ptr()) ||
        (py::isinstance<py::array>(first) &&
         py::array::ensure(first).ndim() >= 1))
      return QueryForm::listed_rows;
  }
  return QueryForm::one;
}

} // namespace

Queries read_queries(py::handle q, std::int64_t window) {
  Queries queries;
  const QueryForm form = query_form(q);
  const auto check_length = [&](std::int64_t values) {
    if (values != window)
      throw py::value_error("q must hold the window's " +
                            std::to_string(window) + " values, not " +
                            std::to_string(values));
  };
  if (form == QueryForm::array_rows) {
    queries.array =
        py::module_::import("numpy").attr("ascontiguousarray")(q, "float64");
    check_length(queries.array.shape(1));
    queries.rows = queries.array.shape(0);
    queries.data = static_cast<const double *>(queries.array.data());
    queries.two_dimensional = true;
    return queries;
  }
  if (form == QueryForm::listed_rows) {
    const auto rows = static_cast<std::int64_t>(py::len(q));
    ensure_input_fits(static_cast<std::size_t>(rows * window));
    for (const py::handle row : q) {
      InputSeries series;
      if (!load_series(row, true, series))
        throw py::type_error(
            "each row of q must be a sequence of numbers, not " +
            py::str(py::type::handle_of(row).attr("__name__"))
                .cast<std::string>());
      check_length(static_cast<std::int64_t>(series.size()));
      series.materialise();
      queries.rows_read.insert(queries.rows_read.end(), series.data(),
                               series.data() + series.size());
    }
    queries.rows = rows;
    queries.data = queries.rows_read.data();
    queries.two_dimensional = true;
    return queries;
  }
  queries.series = std::make_unique<InputSeries>();
  if (!load_series(q, true, *queries.series))
    throw py::type_error(
        "q must be a sequence of numbers, a numeric buffer or a 2-D array, "
        "not " +
        py::str(py::type::handle_of(q).attr("__name__")).cast<std::string>());
  check_length(static_cast<std::int64_t>(queries.series->size()));
  queries.series->materialise();
  queries.data = queries.series->data();
  queries.rows = 1;
  return queries;
}

// `within` for each row of queries: None, one number for every row, or (for
// rows) one number per row.
std::vector<std::optional<double>>
limits_of(py::handle within, std::int64_t rows, bool two_dimensional) {
  std::vector<double> values;
  if (within.is_none()) {
    values.assign(static_cast<std::size_t>(rows),
                  std::numeric_limits<double>::infinity());
  } else if (PyObject_Size(within.ptr()) < 0) { // no length: one number
    PyErr_Clear();
    const double value = PyFloat_AsDouble(within.ptr());
    if (value == -1.0 && PyErr_Occurred())
      throw py::error_already_set();
    values.assign(static_cast<std::size_t>(rows), value);
  } else {
    InputSeries series;
    if (!two_dimensional || !load_series(within, true, series) ||
        static_cast<std::int64_t>(series.size()) != rows)
      throw py::value_error(
          "within must be a number, or for rows of queries one number per "
          "row");
    series.materialise();
    values.assign(series.data(), series.data() + series.size());
  }
  std::vector<std::optional<double>> limits(values.size());
  for (std::size_t row = 0; row < values.size(); ++row) {
    if (std::isnan(values[row]))
      throw py::value_error("within must be a number, not NaN");
    if (!within.is_none())
      limits[row] = values[row];
  }
  return limits;
}

} // namespace morvel::binding
