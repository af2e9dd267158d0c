// Refusing, before anything is built, what this process cannot hold: Linux
// overcommits and containers cap memory below what the machine has, so an
// oversized result would not fail in the allocator but be killed while it
// is filled. The guard compares its estimate of a call's memory with what
// the process can still get (morvel/memory.hpp), and raises
// MemoryError("bad allocation") instead.
#pragma once

#include <morvel/plan.hpp>

#include <cstddef>
#include <cstdint>

namespace morvel::binding {

// What a call's result is made of.
enum class ResultKind {
  lists,       // Python lists of floats or one-letter strings
  array,       // a new numpy array, one cell after another
  given_array, // the caller's array: nothing new
};

// The bytes a plan's result takes, as this interpreter's allocator hands
// them out (a new float per paa cell; sax's letters are shared strings; an
// array's cells are 8 bytes or 1), plus the core's working memory for
// computing it. O(1).
double result_bytes(const Plan &plan, ResultKind kind = ResultKind::lists);

// Throws morvel::allocation_error unless the plan's result, and
// `pending_values` doubles of input still to be converted, fit in the memory
// this process can still get. Costs nothing below a few tens of MB; above,
// a few small file reads.
void ensure_call_fits(const Plan &plan, std::size_t pending_values,
                      ResultKind kind = ResultKind::lists);

// Throws morvel::allocation_error unless `values` more doubles of converted
// input fit, with the same threshold.
void ensure_input_fits(std::size_t values);

// Throws morvel::allocation_error unless new arrays of `bytes` bytes in all
// fit, with the same threshold.
void ensure_arrays_fit(double bytes);

// Throws morvel::allocation_error if `values` doubles could not be
// allocated at all, even untouched: what a sequence's claimed length costs
// the library's conversion, which reserves that much.
void ensure_input_allocatable(std::size_t values);

} // namespace morvel::binding
