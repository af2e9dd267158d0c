#include "numpy_presence.hpp"

#include "python_errors.hpp"
#include "thread_state.hpp"

#include <string>

namespace py = pybind11;

namespace morvel::binding {

py::object loaded_module(PyObject *name) {
  MORVEL_EXPECT_THREAD_STATE();
  auto module = py::reinterpret_steal<py::object>(PyImport_GetModule(name));
  if (!module && PyErr_Occurred() != nullptr)
    clear_or_raise();
  if (module.is_none())
    return {};
  return module;
}

PyObject *numpy_name() {
  static PyObject *const name = PyUnicode_InternFromString("numpy");
  if (name == nullptr)
    throw py::error_already_set();
  return name;
}

void require_numpy(const char *function) {
  if (loaded_module(numpy_name()))
    return;
  // Not loaded, or refused: import it to say why.
  try {
    py::module_::import("numpy");
  } catch (py::error_already_set &error) {
    if (!error.matches(PyExc_ImportError))
      throw;
    py::raise_from(error, PyExc_ImportError,
                   (std::string("morvel.") + function +
                    " needs numpy, which cannot be imported (pip install "
                    "numpy); morvel.paa and morvel.sax work without it")
                       .c_str());
    throw py::error_already_set();
  }
}

} // namespace morvel::binding
