// Whether a module has been imported, asked without importing it, and the
// one requirement of numpy: the array functions and mindist need it, the
// list functions never do.
#pragma once

#include <pybind11/pybind11.h>

namespace morvel::binding {

// The module called `name` if this interpreter has imported it, else a null
// object (a None entry in sys.modules, an import refused, counts as not
// imported). Throws pybind11::error_already_set only for an error no
// conversion may swallow. Costs one dictionary lookup.
pybind11::object loaded_module(PyObject *name);

// The interned name "numpy".
PyObject *numpy_name();

// Raises ImportError, naming numpy and `function`, when numpy cannot be
// imported. Costs one dictionary lookup once numpy is loaded.
void require_numpy(const char *function);

} // namespace morvel::binding
