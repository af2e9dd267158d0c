#include "memory_guard.hpp"

#include <morvel/memory.hpp>

#include <Python.h>

#include <cmath>

namespace morvel::binding {

namespace {

// Below this, a call cannot matter to any process that is still running:
// the limits are not even read.
constexpr double worth_checking = 32.0 * 1024 * 1024;

double round_up(double bytes, double unit) {
  return std::ceil(bytes / unit) * unit;
}

// The bytes the interpreter's allocator takes for a block of `size` bytes.
// Large blocks come from the system, page by page.
double allocated(double size) {
  if (size <= 0.0)
    return 0.0;
#if defined(Py_GIL_DISABLED)
  // mimalloc: 16-byte steps for small blocks, then four size classes per
  // doubling.
  if (size <= 64.0)
    return round_up(size, 16.0);
  if (size <= 512.0 * 1024) {
    const double words = std::ceil(size / 8.0);
    const double step = std::exp2(std::floor(std::log2(words - 1.0)) - 2.0);
    return round_up(words, step) * 8.0;
  }
  return round_up(size, 64.0 * 1024);
#else
  // pymalloc up to 512 bytes, in 16-byte steps; then the C allocator, with
  // its 8-byte header, in 16-byte steps, or whole pages from 128 KiB on.
  if (size <= 512.0)
    return round_up(size, 16.0);
  if (size < 128.0 * 1024)
    return round_up(size + 8.0, 16.0);
  return round_up(size + 16.0, 4096.0);
#endif
}

// A list of `items` items: the object, with its garbage-collector header,
// and its array of item pointers (which the free-threaded build prefixes
// with its capacity).
double list_bytes(double items) {
#if defined(Py_GIL_DISABLED)
  constexpr double header = 0.0;
  constexpr double array_prefix = 8.0;
#else
  constexpr double header = 2 * sizeof(void *); // the collector's links
  constexpr double array_prefix = 0.0;
#endif
  const double object =
      allocated(static_cast<double>(sizeof(PyListObject)) + header);
  return object + (items > 0.0 ? allocated(array_prefix + 8.0 * items) : 0.0);
}

// What a call costs its container beyond the estimate: the kernel's page
// tables (8 bytes per 4 KiB page, 0.2 %), the allocator's partly used pools
// and pages, and the interpreter's own objects around the call. Measured as
// the peak a call adds to its memory cgroup's charge against the estimate,
// over calls of 270 MiB to 3.8 GiB of many short rows, few long ones and
// letters: at most 0.84 % with pymalloc (sax, 1.5 million rows of 16), at
// most 4.1 % with the free-threaded build's mimalloc (the same call), and no
// more than 2 MiB beside that. Half as much again is kept in reserve.
#if defined(Py_GIL_DISABLED)
constexpr double margin_share = 0.06;
#else
constexpr double margin_share = 0.0125;
#endif
constexpr double margin_bytes = 3.0 * 1024 * 1024;

void ensure_fits(double bytes) {
  if (bytes < worth_checking)
    return;
  const morvel::memory::Bytes obtainable = morvel::memory::obtainable_memory();
  const double needed = bytes * (1.0 + margin_share) + margin_bytes;
  if (obtainable && needed > static_cast<double>(*obtainable))
    throw morvel::allocation_error();
}

} // namespace

double result_bytes(const Plan &plan, ResultKind kind) {
  const double rows = static_cast<double>(plan.shape.rows);
  const double columns = static_cast<double>(plan.shape.columns);
  const double working = allocated(static_cast<double>(plan.working_bytes));
  if (kind == ResultKind::given_array)
    return working;
  if (kind == ResultKind::array) {
    const double cell = plan.transform == Transform::paa ? 8.0 : 1.0;
    return allocated(rows * columns * cell) + working;
  }
  const double cell =
      plan.transform == Transform::paa
          ? allocated(static_cast<double>(sizeof(PyFloatObject)))
          : 0.0;
  const double python =
      list_bytes(rows) + rows * (list_bytes(columns) + columns * cell);
  return python + working;
}

// Estimated in double precision: the products can exceed 64 bits.
void ensure_call_fits(const Plan &plan, std::size_t pending_values,
                      ResultKind kind) {
  const double input = 8.0 * static_cast<double>(pending_values);
  ensure_fits(result_bytes(plan, kind) + allocated(input));
}

void ensure_input_fits(std::size_t values) {
  ensure_fits(allocated(8.0 * static_cast<double>(values)));
}

void ensure_arrays_fit(double bytes) { ensure_fits(allocated(bytes)); }

void ensure_input_allocatable(std::size_t values) {
  const double bytes = 8.0 * static_cast<double>(values);
  if (bytes < worth_checking)
    return;
  const morvel::memory::Bytes allocatable =
      morvel::memory::allocatable_memory();
  if (allocatable && bytes > static_cast<double>(*allocatable))
    throw morvel::allocation_error();
}

} // namespace morvel::binding
