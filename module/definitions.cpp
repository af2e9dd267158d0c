// The module: its two functions, their arguments, defaults and docstrings.
// A call is planned once by the core, guarded, and run into lists; this
// layer converts, guards and builds, and decides nothing the plan decides.
#include "input_conversion.hpp"
#include "integer_arguments.hpp"
#include "list_building.hpp"
#include "memory_guard.hpp"

#include <morvel/plan.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

namespace py = pybind11;

namespace {

using morvel::binding::InputSeries;
using morvel::binding::Int32Argument;

using FloatRows = py::typing::List<py::typing::List<float>>;
using LetterRows = py::typing::List<py::typing::List<py::str>>;

// Guards a planned call with the input still to be converted, then converts
// it: a series read from its length alone is weighed with the result.
const double *guarded_input(const morvel::Plan &plan, InputSeries &ts) {
  morvel::binding::ensure_call_fits(plan, ts.pending());
  if (ts.pending() != 0)
    ts.materialise();
  return ts.data();
}

FloatRows paa(InputSeries &ts, Int32Argument window, Int32Argument stride,
              Int32Argument w) {
  const morvel::Plan plan =
      morvel::plan_paa(ts.size(), window.value, stride.value, w.value);
  const double *values = guarded_input(plan, ts);
  return py::reinterpret_steal<FloatRows>(
      morvel::binding::paa_lists(plan, values).release());
}

LetterRows sax(InputSeries &ts, Int32Argument window, Int32Argument stride,
               Int32Argument w, Int32Argument alpha) {
  const morvel::Plan plan = morvel::plan_sax(
      ts.size(), window.value, stride.value, w.value, alpha.value);
  const double *values = guarded_input(plan, ts);
  return py::reinterpret_steal<LetterRows>(
      morvel::binding::sax_lists(plan, values).release());
}

} // namespace

PYBIND11_MODULE(morvel, m) {
  m.def("sax", &sax, py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
        py::arg("w") = 15, py::arg("alpha") = 4,
        "Apply SAX to a single time series.");
  m.def("paa", &paa, py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
        py::arg("w") = 15, "Apply PAA to a single time series.");
}
