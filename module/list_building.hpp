// Building the result lists a tile of rows at a time, while the tile is still
// in cache: the core's cells never exist in full beside the Python objects.
#pragma once

#include <morvel/morvel.hpp>
#include <morvel/tiles.hpp>

#include <pybind11/pybind11.h>

#include <cstddef>

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

// The outer list of `shape.rows` rows, filled by the tiles handed to sink();
// make_cell turns one core cell into a new reference.
template <typename T, typename MakeCell> class ListBuilder {
public:
  ListBuilder(Shape shape, MakeCell make_cell)
      : shape_(shape), make_cell_(make_cell),
        outer_(pybind11::reinterpret_steal<pybind11::object>(
            checked(PyList_New(static_cast<Py_ssize_t>(shape.rows))))) {}

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
  MakeCell make_cell_;
  pybind11::object outer_;
};

template <typename T, typename MakeCell>
ListBuilder<T, MakeCell> list_builder(Shape shape, MakeCell make_cell) {
  return ListBuilder<T, MakeCell>(shape, make_cell);
}

} // namespace morvel::binding
