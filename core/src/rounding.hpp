// The rounding every error bound of the library is written in: the unit
// roundoff of binary64 and gamma_k, the relative error that k rounded
// operations may gather (|prod (1 + d_i)^(+-1) - 1| <= gamma_k for
// |d_i| <= u, k u < 1). The kernels include this too; it holds nothing
// with external linkage, so a kernel built for a wider instruction set
// never lends its copy to the rest of the library.
#pragma once

namespace morvel::detail {

inline constexpr double unit_roundoff = 0x1p-53;

namespace {

// gamma_k, itself computed with two roundings: callers that need it as an
// upper bound add their own margin.
constexpr double relative_error(double k) {
  return k * unit_roundoff / (1.0 - k * unit_roundoff);
}

} // namespace
} // namespace morvel::detail
