// Numeric buffers read in place: which exporters' elements are their
// buffer's values, and how each struct-module format widens to a double.
#include "buffer_formats.hpp"

#include "numpy_presence.hpp"
#include "python_errors.hpp"
#include "thread_state.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

namespace py = pybind11;

namespace morvel::binding {
namespace {

// The types whose elements, read one by one, are by construction the values
// their buffer holds: the exact built-in and numpy array types, never a
// subclass, which may read its elements otherwise (a masked array does).
bool is_exact_array_type(PyObject *module_name, PyObject *source,
                         const char *type_name) {
  // Not imported, so `source` cannot be one of its arrays.
  const py::object module = loaded_module(module_name);
  if (!module)
    return false;
  PyObject *type = PyObject_GetAttrString(module.ptr(), type_name);
  if (type == nullptr) {
    clear_or_raise();
    return false;
  }
  const bool exact = reinterpret_cast<PyObject *>(Py_TYPE(source)) == type;
  Py_DECREF(type);
  return exact;
}

bool reads_elements_from_its_buffer(PyObject *source) {
  if (Py_IS_TYPE(source, &PyMemoryView_Type) || PyByteArray_CheckExact(source))
    return true;
  if (!PyObject_CheckBuffer(source))
    return false;
  PyObject *const numpy = numpy_name();
  static PyObject *const array = PyUnicode_InternFromString("array");
  if (array == nullptr)
    throw py::error_already_set();
  // numpy.memmap changes only how views are made, never how an element is read.
  return is_exact_array_type(numpy, source, "ndarray") ||
         is_exact_array_type(numpy, source, "memmap") ||
         is_exact_array_type(array, source, "array");
}

// Byte order and sizes of a struct-module format prefix.
struct ByteOrder {
  bool native_sizes = true;
  bool swap = false;
};

constexpr bool little_endian_host() {
#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) &&                \
    __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return false;
#else
  return true;
#endif
}

bool parse_prefix(const char *&format, ByteOrder &order) {
  switch (*format) {
  case '@':
  case '^': // native, unaligned: numpy's export of an unaligned long double
    ++format;
    return true;
  case '=':
    order.native_sizes = false;
    ++format;
    return true;
  case '<':
    order.native_sizes = false;
    order.swap = !little_endian_host();
    ++format;
    return true;
  case '>':
  case '!':
    order.native_sizes = false;
    order.swap = little_endian_host();
    ++format;
    return true;
  default:
    return true;
  }
}

template <typename T> T load_raw(const char *at, bool swap) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, at, sizeof(T));
  if (swap)
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i)
      std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

// IEEE binary16 to double: every half-precision value is exactly a double.
double half_to_double(std::uint16_t half) {
  const std::uint64_t sign = static_cast<std::uint64_t>(half >> 15) << 63;
  const std::uint32_t exponent = (half >> 10) & 0x1fu;
  const std::uint64_t mantissa = half & 0x3ffu;
  std::uint64_t bits;
  if (exponent == 0x1f) { // infinity or NaN, payload kept
    bits = sign | (std::uint64_t{0x7ff} << 52) | (mantissa << 42);
  } else if (exponent != 0) {
    bits = sign | (std::uint64_t{exponent + 1008} << 52) | (mantissa << 42);
  } else if (mantissa == 0) {
    bits = sign;
  } else { // subnormal half: normalise it
    int shift = 0;
    std::uint64_t m = mantissa;
    while ((m & 0x400u) == 0) {
      m <<= 1;
      ++shift;
    }
    bits = sign | (std::uint64_t{1009u - static_cast<unsigned>(shift)} << 52) |
           ((m & 0x3ffu) << 42);
  }
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// How one element of each numeric format becomes a double, exactly as
// float() of the element gives it: integers round to nearest, ties to even
// (as int.__float__ and the C conversion both do), narrower floats widen
// exactly, long double rounds to nearest as numpy's float() does, and a
// bool is true for any non-zero byte.
using Widen = double (*)(const char *at, bool swap);

template <typename T> double widen_number(const char *at, bool swap) {
  return static_cast<double>(load_raw<T>(at, swap));
}

double widen_bool(const char *at, bool) {
  return *reinterpret_cast<const unsigned char *>(at) != 0 ? 1.0 : 0.0;
}

double widen_half(const char *at, bool swap) {
  return half_to_double(load_raw<std::uint16_t>(at, swap));
}

double widen_long_double(const char *at, bool) {
  return static_cast<double>(load_raw<long double>(at, false));
}

struct Format {
  Widen widen = nullptr;
  std::size_t size = 0;
};

template <typename Native, typename Standard>
Format integer_format(const ByteOrder &order) {
  if (order.native_sizes)
    return {&widen_number<Native>, sizeof(Native)};
  return {&widen_number<Standard>, sizeof(Standard)};
}

// The element reader for a buffer format, or none where the format is not a
// plain real number (complex, pointers, characters, records...).
Format numeric_format(const char *format) {
  ByteOrder order;
  if (format == nullptr)
    format = "B";
  parse_prefix(format, order);
  if (format[0] == '\0' || format[1] != '\0')
    return {};
  switch (format[0]) {
  case 'd':
    return {&widen_number<double>, sizeof(double)};
  case 'f':
    return {&widen_number<float>, sizeof(float)};
  case 'e':
    return {&widen_half, 2};
  case 'g':
    if (!order.native_sizes)
      return {};
    return {&widen_long_double, sizeof(long double)};
  case '?':
    return {&widen_bool, 1};
  case 'b':
    return {&widen_number<signed char>, 1};
  case 'B':
    return {&widen_number<unsigned char>, 1};
  case 'h':
    return integer_format<short, std::int16_t>(order);
  case 'H':
    return integer_format<unsigned short, std::uint16_t>(order);
  case 'i':
    return integer_format<int, std::int32_t>(order);
  case 'I':
    return integer_format<unsigned int, std::uint32_t>(order);
  case 'l':
    return integer_format<long, std::int32_t>(order);
  case 'L':
    return integer_format<unsigned long, std::uint32_t>(order);
  case 'q':
    return integer_format<long long, std::int64_t>(order);
  case 'Q':
    return integer_format<unsigned long long, std::uint64_t>(order);
  case 'n':
    if (!order.native_sizes)
      return {};
    return {&widen_number<Py_ssize_t>, sizeof(Py_ssize_t)};
  case 'N':
    if (!order.native_sizes)
      return {};
    return {&widen_number<std::size_t>, sizeof(std::size_t)};
  default:
    return {};
  }
}

// Whether the format spells native doubles in native byte order.
bool native_doubles(const char *format) {
  return format != nullptr &&
         (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 ||
          (std::strcmp(format, little_endian_host() ? "<d" : ">d") == 0) ||
          std::strcmp(format, "=d") == 0);
}

// Whether a memoryview reads its own elements in this format: only native
// sizes and byte order, and no long double. Any other format makes its
// iteration fail, and that error is what the caller must see.
bool memoryview_reads(const char *format) {
  if (format == nullptr)
    return true;
  if (*format == '@')
    ++format;
  return *format != '\0' && std::strchr("<>!=^g", *format) == nullptr;
}

} // namespace

std::optional<NumericBuffer> read_buffer(PyObject *source) {
  MORVEL_EXPECT_THREAD_STATE();
  if (!reads_elements_from_its_buffer(source))
    return std::nullopt;
  Py_buffer view;
  if (PyObject_GetBuffer(source, &view, PyBUF_RECORDS_RO) != 0) {
    clear_or_raise(); // the sequence path reports the object's own errors
    return std::nullopt;
  }
  const Format format = numeric_format(view.format);
  if (view.ndim != 1 || format.widen == nullptr ||
      (Py_IS_TYPE(source, &PyMemoryView_Type) &&
       !memoryview_reads(view.format)) ||
      static_cast<std::size_t>(view.itemsize) != format.size) {
    PyBuffer_Release(&view);
    return std::nullopt;
  }
  const auto count = static_cast<std::size_t>(view.shape[0]);
  // An exporter may leave the strides out for a contiguous buffer.
  const Py_ssize_t step =
      view.strides != nullptr ? view.strides[0] : view.itemsize;
  if (native_doubles(view.format) &&
      step == static_cast<Py_ssize_t>(sizeof(double)) &&
      reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0)
    return NumericBuffer{view, count, {}};
  ByteOrder order;
  const char *rest = view.format;
  parse_prefix(rest, order);
  // Widened when the call has been planned, so that the memory guard weighs
  // the converted input with the result.
  const auto *base = static_cast<const char *>(view.buf);
  const Widen widen = format.widen;
  const bool swap = order.swap;
  return NumericBuffer{
      view, count, [base, step, widen, swap](double *out, std::size_t values) {
        for (std::size_t i = 0; i < values; ++i)
          out[i] = widen(base + static_cast<Py_ssize_t>(i) * step, swap);
      }};
}

} // namespace morvel::binding
