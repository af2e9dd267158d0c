#include "word_distances.hpp"

#include "memory_guard.hpp"
#include "thread_state.hpp"

#include <morvel/mindist.hpp>

#include <pybind11/numpy.h>

#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace morvel::binding {

namespace {

// What numpy must convert of an operand before the core reads it, and to
// which dtype.
struct Conversion {
  py::array part;
  py::dtype dtype;
};

// One operand: the array that holds its bytes, the words as the core reads
// them (with no data until it is read), and its conversion, if any.
struct Operand {
  py::array array;
  WordArray words;
  std::optional<Conversion> conversion;
};

// The part of an array numpy must convert: every axis along which it only
// repeats itself (a broadcast's zero stride) cut to one element, so that a
// word broadcast a million times is converted once and broadcast again.
py::array distinct_part(const py::array &array) {
  if (array.ndim() == 0)
    return array;
  py::list index;
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis)
    index.append(array.strides(axis) == 0 && array.shape(axis) > 1
                     ? py::slice(0, 1, 1)
                     : py::slice(py::none(), py::none(), py::none()));
  const py::object kept = array[py::tuple(index)];
  return py::reinterpret_borrow<py::array>(kept);
}

// The bytes converting the operand takes.
double conversion_bytes(const Operand &operand) {
  if (!operand.conversion)
    return 0.0;
  return static_cast<double>(operand.conversion->part.size()) *
         static_cast<double>(operand.conversion->dtype.itemsize());
}

Operand operand(py::handle source, const char *name, bool means_allowed) {
  MORVEL_EXPECT_THREAD_STATE();
  const py::module_ numpy = py::module_::import("numpy");
  Operand result;
  py::array &array = result.array;
  if (py::isinstance<py::array>(source)) {
    array = py::reinterpret_borrow<py::array>(source);
  } else if (PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr())) {
    // One word, its characters its letters (the empty word included).
    if (PyUnicode_Check(source.ptr()))
      ensure_arrays_fit(
          static_cast<double>(PyUnicode_GET_LENGTH(source.ptr())));
    const py::bytes text = PyUnicode_Check(source.ptr())
                               ? py::bytes(source.attr("encode")("ascii"))
                               : py::reinterpret_borrow<py::bytes>(source);
    array = py::array(numpy.attr("frombuffer")(text, "S1"));
  } else {
    array = py::array(numpy.attr("asarray")(source));
  }
  const py::dtype dtype = array.dtype();
  const char kind = dtype.kind();
  // Text is letters, as sax's lists hold them: encoded to bytes by numpy,
  // which refuses what is not ASCII.
  py::ssize_t letter_bytes = dtype.itemsize();
  std::optional<py::dtype> converted;
  if (kind == 'U') {
    letter_bytes /= 4;
    // Words of no letters have nothing to convert ('S0' would be 'S1').
    if (letter_bytes > 0)
      converted = py::dtype("S" + std::to_string(letter_bytes));
  } else if (kind == 'S') {
  } else if (means_allowed && kind == 'f') {
    if (!dtype.equal(py::dtype::of<double>()))
      converted = py::dtype::of<double>();
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
  WordArray &words = result.words;
  words.means = kind == 'f';
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis)
    words.shape.push_back(static_cast<std::size_t>(array.shape(axis)));
  // A word per element, its bytes its letters, whatever its length (none
  // included); only 'S1' letters have their words along the last axis.
  if (!words.means && (letter_bytes != 1 || array.ndim() == 0))
    words.shape.push_back(static_cast<std::size_t>(letter_bytes));
  if (converted)
    result.conversion = Conversion{distinct_part(array), *converted};
  return result;
}

// Converts the operand if it must be, then points its words at the bytes.
void read(Operand &operand) {
  py::array &array = operand.array;
  if (operand.conversion) {
    const py::object converted =
        operand.conversion->part.attr("astype")(operand.conversion->dtype);
    py::tuple shape(array.ndim());
    for (py::ssize_t axis = 0; axis < array.ndim(); ++axis)
      shape[static_cast<std::size_t>(axis)] = py::int_(array.shape(axis));
    array = py::array(
        py::module_::import("numpy").attr("broadcast_to")(converted, shape));
  }
  WordArray &words = operand.words;
  words.data = array.data();
  words.strides.clear();
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis)
    words.strides.push_back(array.strides(axis));
  if (words.shape.size() > words.strides.size())
    words.strides.push_back(1);
}

} // namespace

py::object mindist(py::handle a, py::handle b, std::int32_t window,
                   std::int32_t alpha) {
  Operand left = operand(a, "a", true);
  Operand right = operand(b, "b", false);
  const DistancePlan plan =
      plan_mindist(left.words, right.words, window, alpha);
  // What numpy converts and the distances, weighed before either is made.
  ensure_arrays_fit(conversion_bytes(left) + conversion_bytes(right) +
                    8.0 * static_cast<double>(plan.count));
  read(left);
  read(right);
  if (plan.shape.empty()) {
    double distance = 0.0;
    morvel::mindist(plan, left.words, right.words, &distance);
    return py::float_(distance);
  }
  std::vector<py::ssize_t> shape(plan.shape.begin(), plan.shape.end());
  py::array_t<double> result(shape);
  double *out = result.mutable_data();
  {
    py::gil_scoped_release released;
    morvel::mindist(plan, left.words, right.words, out);
  }
  return result;
}

} // namespace morvel::binding
