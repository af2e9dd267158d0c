// The run of a certified sax plan: each chunk's letters from the bound
// (kernel_certified.hpp), the letters it leaves open walked one segment at
// a time, and a chunk it leaves mostly open walked whole.
#pragma once

#include "morvel/plan.hpp"

#include "kernel_interface.hpp"

namespace morvel::detail {

// Where the plan's working memory holds the chunk's buffers.
struct CertifiedMemory {
  double *sums;
  double *squares;
  double *scratch; // the windows kernel's lane-major copies
};

// Computes a certified plan (plan.certified) a chunk at a time into `tile`,
// each chunk handed to the sink; with a destination, each chunk's rows are
// computed there, in place, and the sink is not called. Adds to `tally`,
// when given, how the letters were decided. Throws what the sink throws.
void run_certified(const Plan &plan, const double *ts, const Cells &tile,
                   const CertifiedMemory &memory, const TileSink<char> &sink,
                   LetterTally *tally, char *destination);

} // namespace morvel::detail
