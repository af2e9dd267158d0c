#include "word_distances.hpp"

#include "memory_guard.hpp"

#include <morvel/mindist.hpp>

#include <pybind11/numpy.h>

#include <string>
#include <vector>

namespace py = pybind11;

namespace morvel::binding {

namespace {

// One operand as the core reads it, and the array that holds its bytes.
struct Operand {
  py::array array;
  WordArray words;
};

Operand operand(py::handle source, const char *name, bool means_allowed) {
  const py::module_ numpy = py::module_::import("numpy");
  py::array array;
  if (py::isinstance<py::array>(source)) {
    array = py::reinterpret_borrow<py::array>(source);
  } else if (PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr())) {
    // One word, its characters its letters (the empty word included).
    const py::bytes text = PyUnicode_Check(source.ptr())
                               ? py::bytes(source.attr("encode")("ascii"))
                               : py::reinterpret_borrow<py::bytes>(source);
    array = py::array(numpy.attr("frombuffer")(text, "S1"));
  } else {
    array = py::array(numpy.attr("asarray")(source));
  }
  const char kind = array.dtype().kind();
  // Text is letters, as sax's lists hold them: encoded to bytes by numpy,
  // which refuses what is not ASCII.
  if (kind == 'U')
    array = py::array(array.attr("astype")(
        "S" + std::to_string(array.dtype().itemsize() / 4)));
  Operand result;
  WordArray &words = result.words;
  const py::dtype dtype = array.dtype();
  if (dtype.kind() == 'S') {
    words.means = false;
  } else if (means_allowed && dtype.kind() == 'f') {
    words.means = true;
    if (!dtype.equal(py::dtype::of<double>()))
      array = py::array(numpy.attr("asarray")(array, "float64"));
  } else {
    throw py::type_error(
        std::string(name) +
        " must hold letters (dtype 'S1', as sax_array "
        "returns them, or words 'S<w>')" +
        (means_allowed ? " or segment means (float64, as paa_array returns "
                         "them)"
                       : "") +
        ", not " + py::str(dtype).cast<std::string>());
  }
  words.data = array.data();
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    words.shape.push_back(static_cast<std::size_t>(array.shape(axis)));
    words.strides.push_back(array.strides(axis));
  }
  // A word per element: its bytes are its letters.
  if (!words.means && array.itemsize() > 1) {
    words.shape.push_back(static_cast<std::size_t>(array.itemsize()));
    words.strides.push_back(1);
  }
  result.array = std::move(array);
  return result;
}

} // namespace

py::object mindist(py::handle a, py::handle b, std::int32_t window,
                   std::int32_t alpha) {
  const Operand left = operand(a, "a", true);
  const Operand right = operand(b, "b", false);
  const DistancePlan plan =
      plan_mindist(left.words, right.words, window, alpha);
  if (plan.shape.empty()) {
    double distance = 0.0;
    morvel::mindist(plan, left.words, right.words, &distance);
    return py::float_(distance);
  }
  ensure_input_fits(plan.count); // as many doubles, new
  std::vector<py::ssize_t> shape(plan.shape.begin(), plan.shape.end());
  py::array_t<double> result(shape);
  double *out = result.mutable_data();
  {
    py::gil_scoped_release released;
    morvel::mindist(plan, left.words, right.words, out);
  }
  return std::move(result);
}

} // namespace morvel::binding
