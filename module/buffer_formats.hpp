// Numeric buffers read in place, without a Python object per element.
#pragma once

#include "input_conversion.hpp"

#include <Python.h>

namespace morvel::binding {

// Reads a one-dimensional numeric buffer of an exact array type whose
// elements, read one by one, are its buffer's values (numpy.ndarray and
// numpy.memmap, array.array, memoryview, bytearray): contiguous native
// doubles are borrowed, any other real number format is widened when the
// series is materialised. Returns false, with nothing pending, for every
// other object, which then takes the sequence path. Throws
// pybind11::error_already_set for an error no conversion may swallow.
bool read_buffer(PyObject *source, InputSeries &series);

} // namespace morvel::binding
