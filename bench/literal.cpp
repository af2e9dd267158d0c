// What the sweep in bench/shapes.py measures morvel against, built only for
// the benchmarks: the literal implementation (the binding library's standard
// conversions around the serial per-window loop), the same conversions with
// nothing computed, and the latency of one floating-point addition.
#include <morvel/morvel.hpp>
#include <morvel/tiles.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
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
  return std::chrono::duration<double, std::nano>(stop - start).count() / additions;
}

} // namespace

PYBIND11_MODULE(morvel_literal, m) {
  m.def("paa", [](const std::vector<double> &ts, std::int32_t window, std::int32_t stride,
                  std::int32_t w) { return morvel::paa_reference(ts, window, stride, w); });
  m.def("sax", [](const std::vector<double> &ts, std::int32_t window, std::int32_t stride,
                  std::int32_t w, std::int32_t alpha) {
    return morvel::sax_reference(ts, window, stride, w, alpha);
  });
  m.def("convert_only", [](const std::vector<double> &, std::int32_t, std::int32_t,
                           std::int32_t) { return py::list(); });
  m.def("add_latency_ns", &add_latency_ns);
}
