// morvel.Index: exact similarity search over the windows of one series,
// built, queried, saved and reopened.
#pragma once

#include <pybind11/pybind11.h>

namespace morvel::binding {

// Adds the Index class to the module.
void define_index(pybind11::module_ &module);

} // namespace morvel::binding
