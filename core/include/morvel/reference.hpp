// The literal algorithm: for every window a fresh copy, znormalise, then
// paa_window or discretise, one window after another. The same results and
// errors as paa and sax, kept as the reference every fast path is tested
// and timed against.
#pragma once

#include "morvel/morvel.hpp"

#include <cstdint>

namespace morvel {

// As paa, computed the literal way. Throws as paa. Cost: count * (3 * window
// + window * w) operations one at a time; one vector per row and one window
// buffer.
Rows paa_reference(const Series &ts, std::int32_t window, std::int32_t stride,
                   std::int32_t w);

// As sax, computed the literal way. Throws as sax. Cost: as paa_reference,
// plus one binary search per segment.
Words sax_reference(const Series &ts, std::int32_t window, std::int32_t stride,
                    std::int32_t w, std::int32_t alpha);

} // namespace morvel
