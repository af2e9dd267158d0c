#include "memory_guard.hpp"

#include <Python.h>

#include <unistd.h>

namespace morvel::binding {

namespace {

double physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0)
    return 0.0;
  return static_cast<double>(pages) * static_cast<double>(page_size);
}

} // namespace

// Estimated in double precision: the products can exceed 64 bits.
void ensure_result_fits(Shape shape, CellKind cells) {
  const double rows = static_cast<double>(shape.rows);
  const double width = static_cast<double>(shape.columns);
  constexpr double list_bytes = 72.0; // list object with its GC header
  constexpr double pointer_bytes = sizeof(void *);
  const double cell_bytes =
      cells == CellKind::new_float ? static_cast<double>(sizeof(PyFloatObject)) : 0.0;
  const double needed =
      list_bytes +
      rows * (pointer_bytes + list_bytes + width * (pointer_bytes + cell_bytes));
  const double available = physical_memory_bytes();
  if (available > 0.0 && needed > available)
    throw morvel::allocation_error();
}

} // namespace morvel::binding
