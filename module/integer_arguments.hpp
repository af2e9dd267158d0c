// Reading window, stride, w and alpha into 32-bit values, exactly as the
// binding library's standard conversion reads a C int, except that an
// interrupt or a MemoryError raised while the object is read propagates at
// once instead of being swallowed and the object read again.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace morvel::binding {

// A 32-bit signed integer argument.
struct Int32Argument {
  std::int32_t value = 0;
};

// Reads `source` as a 32-bit signed integer. Returns false where the library
// refuses the argument; throws pybind11::error_already_set for an interrupt
// or MemoryError raised while it is read.
bool load_int32(pybind11::handle source, bool convert, std::int32_t &value);

} // namespace morvel::binding

namespace pybind11::detail {

// Same accepted inputs and rendered type as a std::int32_t argument.
template <> class type_caster<morvel::binding::Int32Argument> {
public:
  static constexpr auto name = make_caster<std::int32_t>::name;

  bool load(handle source, bool convert) {
    return morvel::binding::load_int32(source, convert, value.value);
  }

  template <typename T> using cast_op_type = morvel::binding::Int32Argument &;
  explicit operator morvel::binding::Int32Argument &() { return value; }

private:
  morvel::binding::Int32Argument value;
};

} // namespace pybind11::detail
