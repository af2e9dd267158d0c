#include "integer_arguments.hpp"

#include "python_errors.hpp"

namespace py = pybind11;

namespace morvel::binding {

bool load_int32(py::handle source, bool convert, std::int32_t &value) {
  // Read as the library reads a C int: never from a float, else as an
  // integer (through __index__), with int() as a second try.
  using Wide = long;
  PyObject *object = source.ptr();
  if (object == nullptr || PyFloat_Check(object) ||
      !(convert || PyLong_Check(object) || PyIndex_Check(object)))
    return false;
  const Wide wide = PyLong_AsLong(object);
  const bool failed = PyErr_Occurred() != nullptr;
  if (!failed && wide == static_cast<Wide>(static_cast<std::int32_t>(wide))) {
    value = static_cast<std::int32_t>(wide);
    return true;
  }
  if (!failed)
    return false; // outside 32 bits
  clear_or_raise();
  if (!convert || PyNumber_Check(object) == 0)
    return false;
  const auto integer = py::reinterpret_steal<py::object>(PyNumber_Long(object));
  if (!integer) {
    clear_or_raise();
    return false;
  }
  return load_int32(integer, false, value);
}

} // namespace morvel::binding
