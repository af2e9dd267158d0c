// Which Python errors a conversion may swallow.
#pragma once

#include <pybind11/pybind11.h>

namespace morvel::binding {

// Errors that no conversion may swallow: an interrupt or exit (anything that
// is not an Exception) and memory exhaustion.
inline bool fatal_error_pending() {
  return !PyErr_ExceptionMatches(PyExc_Exception) ||
         PyErr_ExceptionMatches(PyExc_MemoryError);
}

// Clears the pending Python error, unless no conversion may swallow it: then
// throws pybind11::error_already_set, so that it reaches the caller.
inline void clear_or_raise() {
  if (fatal_error_pending())
    throw pybind11::error_already_set();
  PyErr_Clear();
}

} // namespace morvel::binding
