// The distance between SAX words for arrays of words: each operand read
// where it lies, as numpy lays it out, and the distances computed by the
// core with the interpreter released.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace morvel::binding {

// Distances between the words of a (letters or segment means) and of b
// (letters), broadcast: a float for two words, else a float64 array of the
// broadcast shape. Letters are 'S1' arrays whose last axis is the word,
// words ('S<w>') or text; anything else numpy reads as such is converted
// first. Raises TypeError for an operand of another kind, ValueError for
// what the core refuses (morvel/mindist.hpp). Needs numpy.
pybind11::object mindist(pybind11::handle a, pybind11::handle b,
                         std::int32_t window, std::int32_t alpha);

} // namespace morvel::binding
