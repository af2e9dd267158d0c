// The Python skin over the morvel core: argument conversion, the memory guard
// and exception translation come from here; every result from the core.
#include <morvel/morvel.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <unistd.h>

namespace py = pybind11;

namespace {

double physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0)
    return 0.0;
  return static_cast<double>(pages) * static_cast<double>(page_size);
}

// Linux overcommits: a result larger than the machine is not refused by the
// allocator but killed while it is filled. Refuse it up front instead, counting
// the core's rows and the Python objects that will mirror them. Estimated in
// double precision: the products can exceed 64 bits.
void ensure_result_fits(std::size_t length, std::int32_t window,
                        std::int32_t stride, std::int32_t w,
                        double element_bytes, double python_element_bytes) {
  if (w < 0)
    return; // the core refuses it before allocating anything
  const std::int32_t count = morvel::window_count(length, window, stride);
  if (count <= 0)
    return;
  const double rows = count;
  const double width = w;
  constexpr double vector_bytes = sizeof(morvel::Series);
  constexpr double list_bytes = 72.0; // list object with its GC header
  constexpr double pointer_bytes = sizeof(void *);
  double needed = rows * (vector_bytes + width * element_bytes);
  if (window >= 0) // otherwise the core fails before any list is built
    needed += list_bytes + rows * (pointer_bytes + list_bytes +
                                   width * (pointer_bytes + python_element_bytes));
  const double available = physical_memory_bytes();
  if (available > 0.0 && needed > available)
    throw morvel::allocation_error();
}

morvel::Rows paa(const morvel::Series &ts, std::int32_t window,
                 std::int32_t stride, std::int32_t w) {
  morvel::check_domain(ts.size(), window, stride);
  ensure_result_fits(ts.size(), window, stride, w, sizeof(double),
                     sizeof(PyFloatObject));
  return morvel::paa(ts, window, stride, w);
}

morvel::Words sax(const morvel::Series &ts, std::int32_t window,
                  std::int32_t stride, std::int32_t w, std::int32_t alpha) {
  morvel::check_alphabet(alpha);
  morvel::check_domain(ts.size(), window, stride);
  // Letters become the interpreter's shared one-character strings: no
  // per-element Python object.
  ensure_result_fits(ts.size(), window, stride, w, sizeof(char), 0.0);
  return morvel::sax(ts, window, stride, w, alpha);
}

} // namespace

PYBIND11_MODULE(morvel, m) {
  m.def("sax", &sax, py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
        py::arg("w") = 15, py::arg("alpha") = 4,
        "Apply SAX to a single time series.");
  m.def("paa", &paa, py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
        py::arg("w") = 15, "Apply PAA to a single time series.");
}
