// The module: its functions, their arguments, defaults and docstrings. A
// call is planned once by the core, guarded, and run into lists or into a
// numpy array; this layer converts, guards and builds, and decides nothing
// the plan decides.
#include "array_building.hpp"
#include "input_conversion.hpp"
#include "integer_arguments.hpp"
#include "list_building.hpp"
#include "memory_guard.hpp"
#include "numpy_presence.hpp"
#include "similarity_index.hpp"
#include "word_distances.hpp"

#include <morvel/plan.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <optional>

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

using morvel::binding::ArrayOf;

ArrayOf<double> paa_array(InputSeries &ts, Int32Argument window,
                          Int32Argument stride, Int32Argument w,
                          const std::optional<ArrayOf<double>> &out) {
  morvel::binding::require_numpy("paa_array");
  const morvel::Plan plan =
      morvel::plan_paa(ts.size(), window.value, stride.value, w.value);
  return {morvel::binding::paa_array(plan, ts, out)};
}

ArrayOf<char> sax_array(InputSeries &ts, Int32Argument window,
                        Int32Argument stride, Int32Argument w,
                        Int32Argument alpha,
                        const std::optional<ArrayOf<char>> &out) {
  morvel::binding::require_numpy("sax_array");
  const morvel::Plan plan = morvel::plan_sax(
      ts.size(), window.value, stride.value, w.value, alpha.value);
  return {morvel::binding::sax_array(plan, ts, out)};
}

py::object mindist(py::handle a, py::handle b, Int32Argument window,
                   Int32Argument alpha) {
  morvel::binding::require_numpy("mindist");
  return morvel::binding::mindist(a, b, window.value, alpha.value);
}

constexpr const char *paa_array_doc =
    R"(Apply PAA to a single time series, into a numpy array.

The same rows as paa(ts, window, stride, w), bit for bit, as one
C-contiguous float64 array of shape (count, w). With out=, an existing
writable C-contiguous float64 array of exactly that shape (a numpy.memmap
too) is filled and returned instead; it must not share memory with ts.
A numeric buffer is read where it lies and the computation runs without
the GIL, so threads calling this function run in parallel.)";

constexpr const char *sax_array_doc =
    R"(Apply SAX to a single time series, into a numpy array.

The same letters as sax(ts, window, stride, w, alpha), one byte each, as one
C-contiguous array of dtype 'S1' and shape (count, w): .view(f"S{w}") gives
one word per window and .view(numpy.uint8) - ord("a") the symbol indices,
neither copying. out= as for paa_array, and as there, threads calling it
run in parallel.)";

constexpr const char *mindist_doc =
    R"(Lower-bounding distance between SAX words (MINDIST).

a and b hold words of w letters from windows of `window` values, as
sax_array returns them ('S1' arrays whose last axis is the word; words
'S<w>' and text are read as their letters). They broadcast like numpy
arrays: one word against a million gives a million distances. a may
instead hold segment means (float64, as paa_array returns them), which
gives the tighter bound between a window's means and a word.

The distance is sqrt(window / w) * sqrt(sum of cell ** 2), the sum taken in
letter order; a cell is 0 for equal or adjacent letters, else the gap
between the breakpoints that separate them (for a mean, its distance to the
letter's region). It never exceeds the Euclidean distance between the two
z-normalised windows. Returns a float for two words, else a float64 array.)";

} // namespace

PYBIND11_MODULE(morvel, m) {
  m.def("sax", &sax, py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
        py::arg("w") = 15, py::arg("alpha") = 4,
        "Apply SAX to a single time series.");
  m.def("paa", &paa, py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
        py::arg("w") = 15, "Apply PAA to a single time series.");
  m.def("paa_array", &paa_array, py::arg("ts"), py::arg("window"),
        py::arg("stride") = 1, py::arg("w") = 15, py::kw_only(),
        py::arg("out") = py::none(), paa_array_doc);
  m.def("sax_array", &sax_array, py::arg("ts"), py::arg("window"),
        py::arg("stride") = 1, py::arg("w") = 15, py::arg("alpha") = 4,
        py::kw_only(), py::arg("out") = py::none(), sax_array_doc);
  m.def("mindist", &mindist, py::arg("a"), py::arg("b"), py::arg("window"),
        py::arg("alpha"), mindist_doc);
  morvel::binding::define_index(m);
}
