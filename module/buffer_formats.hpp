// Numeric buffers read in place, without a Python object per element.
#pragma once

#include <Python.h>

#include <cstddef>
#include <functional>
#include <optional>

namespace morvel::binding {

// A one-dimensional numeric buffer whose values are its elements: the
// export (the caller releases it), its length and, unless it holds
// contiguous native doubles to be read where they lie, how to widen its
// values into doubles.
struct NumericBuffer {
  Py_buffer view;
  std::size_t count;
  std::function<void(double *out, std::size_t count)> widen;
};

// The buffer of an exact array type whose elements, read one by one, are
// its buffer's values (numpy.ndarray and numpy.memmap, array.array,
// memoryview, bytearray) in a real number format; nothing, with no error
// pending, for every other object, which then takes the sequence path.
// Throws pybind11::error_already_set for an error no conversion may swallow.
std::optional<NumericBuffer> read_buffer(PyObject *source);

} // namespace morvel::binding
