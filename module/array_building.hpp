// Results as numpy arrays: a new C-contiguous array, or the caller's `out`
// once it has been checked, filled by the core with the interpreter free to
// run other threads.
#pragma once

#include "input_conversion.hpp"

#include <morvel/plan.hpp>

#include <pybind11/pybind11.h>

#include <optional>

namespace morvel::binding {

// A numpy array of paa's cells (float64) or sax's letters ('S1'): as an
// argument, any object, checked against the call's result before any work;
// as a result, rendered as the array type it is.
template <typename T> struct ArrayOf {
  pybind11::object array;
};

// Runs a plan over the series into `out`, or into a new (rows, w) array:
// checks `out` (type and dtype: TypeError; shape, order, writability, and
// memory shared with a series read in place: ValueError), guards the
// memory the call needs, then converts what is pending of the series and
// runs the kernels with the interpreter released. `out` is untouched when
// refused.
pybind11::object paa_array(const Plan &plan, InputSeries &ts,
                           const std::optional<ArrayOf<double>> &out);
pybind11::object sax_array(const Plan &plan, InputSeries &ts,
                           const std::optional<ArrayOf<char>> &out);

} // namespace morvel::binding

namespace pybind11::detail {

template <typename T> class type_caster<morvel::binding::ArrayOf<T>> {
public:
  static constexpr auto name = const_name<std::is_same_v<T, double>>(
      "numpy.typing.NDArray[numpy.float64]",
      "numpy.typing.NDArray[numpy.bytes_]");

  bool load(handle source, bool) {
    value.array = reinterpret_borrow<object>(source);
    return true;
  }

  static handle cast(const morvel::binding::ArrayOf<T> &result,
                     return_value_policy, handle) {
    return result.array.inc_ref();
  }

  template <typename U> using cast_op_type = morvel::binding::ArrayOf<T> &;
  explicit operator morvel::binding::ArrayOf<T> &() { return value; }

private:
  morvel::binding::ArrayOf<T> value;
};

} // namespace pybind11::detail
