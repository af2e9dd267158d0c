// The module: its two functions, their arguments, defaults and docstrings.
// Every number comes from the core; this layer converts, guards and builds.
#include "input_conversion.hpp"
#include "list_building.hpp"
#include "memory_guard.hpp"

#include <morvel/morvel.hpp>
#include <morvel/tiles.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

namespace py = pybind11;

namespace {

using morvel::binding::InputSeries;
using morvel::binding::Int32Argument;

using FloatRows = py::typing::List<py::typing::List<float>>;
using LetterRows = py::typing::List<py::typing::List<py::str>>;

FloatRows paa(const InputSeries &ts, Int32Argument window, Int32Argument stride,
              Int32Argument w) {
  const morvel::Shape shape =
      morvel::validate_call(ts.size(), window.value, stride.value, w.value);
  morvel::binding::ensure_result_fits(shape, window.value, stride.value,
                                      morvel::binding::CellKind::new_float);
  auto builder = morvel::binding::list_builder<double>(shape, [](double mean) {
    return morvel::binding::checked(PyFloat_FromDouble(mean));
  });
  morvel::paa_tiles(ts.data(), ts.size(), window.value, stride.value, w.value,
                    builder.sink());
  return py::reinterpret_steal<FloatRows>(builder.result().release());
}

LetterRows sax(const InputSeries &ts, Int32Argument window,
               Int32Argument stride, Int32Argument w, Int32Argument alpha) {
  morvel::check_alphabet(alpha.value);
  const morvel::Shape shape =
      morvel::validate_call(ts.size(), window.value, stride.value, w.value);
  morvel::binding::ensure_result_fits(shape, window.value, stride.value,
                                      morvel::binding::CellKind::shared_letter);
  // Every byte a cell can hold: NUL and the alphabet's letters, as the
  // interpreter's shared one-character strings.
  const int letter_count = alpha.value < 1 ? 1 : alpha.value;
  py::object letters[1 + morvel::max_alphabet];
  for (int code = 0; code <= letter_count; ++code)
    letters[code] = py::reinterpret_steal<py::object>(morvel::binding::checked(
        PyUnicode_FromOrdinal(code == 0 ? 0 : 'a' + code - 1)));
  auto builder =
      morvel::binding::list_builder<char>(shape, [&letters](char code) {
        return letters[code == '\0' ? 0 : 1 + (code - 'a')].inc_ref().ptr();
      });
  morvel::sax_tiles(ts.data(), ts.size(), window.value, stride.value, w.value,
                    alpha.value, builder.sink());
  return py::reinterpret_steal<LetterRows>(builder.result().release());
}

} // namespace

PYBIND11_MODULE(morvel, m) {
  m.def("sax", &sax, py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
        py::arg("w") = 15, py::arg("alpha") = 4,
        "Apply SAX to a single time series.");
  m.def("paa", &paa, py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
        py::arg("w") = 15, "Apply PAA to a single time series.");
}
