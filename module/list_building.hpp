// Building the result lists a tile of rows at a time, while the tile is still
// in cache: the core's cells never exist in full beside the Python objects.
#pragma once

#include <morvel/alphabet.hpp>
#include <morvel/morvel.hpp>
#include <morvel/plan.hpp>

#include <pybind11/pybind11.h>

#include <cstddef>
#include <utility>

namespace morvel::binding {

// A new Python object, or the core's wording of memory exhaustion.
inline PyObject *checked(PyObject *object) {
  if (object == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      throw morvel::allocation_error();
    }
    throw pybind11::error_already_set();
  }
  return object;
}

// paa's cells: a new float for each mean.
struct NewFloats {
  PyObject *operator()(double mean) const {
    return checked(PyFloat_FromDouble(mean));
  }
};

// sax's cells: every byte a cell can hold (NUL and the alphabet's letters)
// as the interpreter's shared one-character strings.
class SharedLetters {
public:
  explicit SharedLetters(std::int32_t alpha) {
    const auto letters = static_cast<int>(letter_count(alpha));
    for (int code = 0; code <= letters; ++code)
      letters_[code] = pybind11::reinterpret_steal<pybind11::object>(
          checked(PyUnicode_FromOrdinal(code == 0 ? 0 : 'a' + code - 1)));
  }

  PyObject *operator()(char code) const {
    return letters_[code == '\0' ? 0 : 1 + (code - 'a')].inc_ref().ptr();
  }

private:
  pybind11::object letters_[1 + max_alphabet];
};

// The outer list of a plan's rows, filled by the tiles handed to sink();
// make_cell, which must outlive the builder, turns one core cell into a new
// reference.
template <typename T, typename MakeCell> class ListBuilder {
public:
  ListBuilder(const Plan &plan, const MakeCell &make_cell)
      : shape_(plan.shape), make_cell_(make_cell),
        outer_(pybind11::reinterpret_steal<pybind11::object>(
            checked(PyList_New(static_cast<Py_ssize_t>(shape_.rows))))) {}

  TileSink<T> sink() {
    return [this](std::size_t first, std::size_t rows, const T *cells) {
      for (std::size_t i = first; i < first + rows; ++i) {
        PyObject *row =
            checked(PyList_New(static_cast<Py_ssize_t>(shape_.columns)));
        PyList_SET_ITEM(outer_.ptr(), static_cast<Py_ssize_t>(i), row);
        for (std::size_t j = 0; j < shape_.columns; ++j, ++cells)
          PyList_SET_ITEM(row, static_cast<Py_ssize_t>(j), make_cell_(*cells));
      }
    };
  }

  // The finished list; call once, after every row has arrived.
  pybind11::object result() { return std::move(outer_); }

private:
  Shape shape_;
  const MakeCell &make_cell_;
  pybind11::object outer_;
};

// Runs a plan over ts into nested lists: floats for paa, letters for sax.
template <typename T, typename MakeCell>
pybind11::object build_lists(const Plan &plan, const double *ts,
                             const MakeCell &make_cell) {
  ListBuilder<T, MakeCell> builder(plan, make_cell);
  run(plan, ts, builder.sink());
  return builder.result();
}

inline pybind11::object paa_lists(const Plan &plan, const double *ts) {
  return build_lists<double>(plan, ts, NewFloats{});
}

inline pybind11::object sax_lists(const Plan &plan, const double *ts) {
  return build_lists<char>(plan, ts, SharedLetters(plan.alpha));
}

} // namespace morvel::binding
