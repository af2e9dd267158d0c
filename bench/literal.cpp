// What the sweep in bench/shapes.py measures morvel against, built only for
// the benchmarks: the literal implementation (the binding library's standard
// conversions around the serial per-window loop), the same conversions with
// nothing computed, and the latency of one floating-point addition. And for
// bench/letters.py: sax_array's letters walked or certified on demand, and
// how a certified call decided them.
#include <morvel/alphabet.hpp>
#include <morvel/morvel.hpp>
#include <morvel/plan.hpp>
#include <morvel/reference.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// Nanoseconds per addition in one dependent chain: each sum waits for the
// last, as in one window's mean or one segment's block.
double add_latency_ns() {
  constexpr std::int64_t additions = 200'000'000;
  volatile double seed = 1e-9;
  double sum = 0.0;
  const double step = seed;
  const auto start = std::chrono::steady_clock::now();
  for (std::int64_t i = 0; i < additions; ++i)
    sum += step;
  const auto stop = std::chrono::steady_clock::now();
  seed = sum;
  return std::chrono::duration<double, std::nano>(stop - start).count() /
         additions;
}

// Milliseconds the core takes for paa on a float64 buffer, its output
// dropped: the kernel's own time, best of `turns`.
double kernel_ms(py::buffer ts, std::int32_t window, std::int32_t stride,
                 std::int32_t w, int turns) {
  const py::buffer_info info = ts.request();
  const auto *values = static_cast<const double *>(info.ptr);
  const auto length = static_cast<std::size_t>(info.size);
  double best = 1e300;
  for (int turn = 0; turn < turns; ++turn) {
    const auto start = std::chrono::steady_clock::now();
    morvel::run(morvel::plan_paa(length, window, stride, w), values,
                [](std::size_t, std::size_t, const double *) {});
    const auto stop = std::chrono::steady_clock::now();
    const double ms =
        std::chrono::duration<double, std::milli>(stop - start).count();
    best = ms < best ? ms : best;
  }
  return best;
}

morvel::Letters letters_named(const std::string &name) {
  if (name == "walked")
    return morvel::Letters::walked;
  if (name == "certified")
    return morvel::Letters::certified;
  return morvel::Letters::automatic;
}

morvel::Plan letters_plan(const py::buffer_info &info, std::int32_t window,
                          std::int32_t stride, std::int32_t w,
                          std::int32_t alpha, const std::string &letters) {
  return morvel::plan_sax(static_cast<std::size_t>(info.size), window, stride,
                          w, alpha,
                          {morvel::best_instruction_set(),
                           morvel::Layout::automatic, letters_named(letters)});
}

// The letters of a sax call on a float64 buffer, decided as `letters` says
// ("walked", "certified" or "automatic"), in a new numpy array of rows x w
// 'S1', made and filled as sax_array makes and fills its own.
py::array sax_letters(py::buffer ts, std::int32_t window, std::int32_t stride,
                      std::int32_t w, std::int32_t alpha,
                      const std::string &letters) {
  const py::buffer_info info = ts.request();
  const morvel::Plan plan =
      letters_plan(info, window, stride, w, alpha, letters);
  py::array cells(py::dtype("S1"),
                  {static_cast<py::ssize_t>(plan.shape.rows),
                   static_cast<py::ssize_t>(plan.shape.columns)});
  auto *out = static_cast<char *>(cells.mutable_data());
  const auto *values = static_cast<const double *>(info.ptr);
  {
    py::gil_scoped_release released;
    morvel::run(plan, values, out);
  }
  return cells;
}

// How a certified sax call decided its letters: (from the bound, walked).
py::tuple letter_tally(py::buffer ts, std::int32_t window, std::int32_t stride,
                       std::int32_t w, std::int32_t alpha) {
  const py::buffer_info info = ts.request();
  const morvel::Plan plan =
      letters_plan(info, window, stride, w, alpha, "certified");
  morvel::LetterTally tally;
  morvel::run(
      plan, static_cast<const double *>(info.ptr),
      [](std::size_t, std::size_t, const char *) {}, &tally);
  return py::make_tuple(tally.certified, tally.walked);
}

} // namespace

PYBIND11_MODULE(morvel_literal, m) {
  m.def("paa", [](const std::vector<double> &ts, std::int32_t window,
                  std::int32_t stride, std::int32_t w) {
    return morvel::paa_reference(ts, window, stride, w);
  });
  m.def("sax", [](const std::vector<double> &ts, std::int32_t window,
                  std::int32_t stride, std::int32_t w, std::int32_t alpha) {
    return morvel::sax_reference(ts, window, stride, w, alpha);
  });
  m.def("convert_only", [](const std::vector<double> &, std::int32_t,
                           std::int32_t, std::int32_t) { return py::list(); });
  m.def("add_latency_ns", &add_latency_ns);
  m.def("kernel_ms", &kernel_ms);
  m.def("sax_letters", &sax_letters);
  m.def("letter_tally", &letter_tally);
  m.def("breakpoints", [](std::int32_t alpha) {
    const morvel::BreakpointRow row = morvel::breakpoints(alpha);
    return std::vector<double>(row.begin(), row.end());
  });
}
