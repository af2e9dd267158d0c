// Refusing, before anything is built, a result this process cannot hold:
// Linux overcommits, so an oversized result would not fail in the allocator
// but be killed while it is filled.
#pragma once

#include <morvel/morvel.hpp>

#include <cstddef>

namespace morvel::binding {

// What one cell of a result costs in Python objects beyond its list slot:
// a float object for paa, nothing for sax (letters are shared strings).
enum class CellKind { new_float, shared_letter };

// Throws morvel::allocation_error ("bad allocation") unless the lists of a
// result of this shape fit in the memory this process can get. O(1).
void ensure_result_fits(Shape shape, CellKind cells);

} // namespace morvel::binding
