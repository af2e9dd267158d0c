#include "input_conversion.hpp"

#include "memory_guard.hpp"

#include <morvel/morvel.hpp>

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace py = pybind11;

namespace morvel::binding {

void InputSeries::own(std::vector<double> &&values) {
  release();
  owned_ = std::move(values);
  data_ = owned_.data();
  size_ = owned_.size();
}

void InputSeries::borrow(Py_buffer &view, std::size_t count) {
  release();
  view_ = view;
  holding_view_ = true;
  data_ = static_cast<const double *>(view_.buf);
  size_ = count;
}

void InputSeries::release() {
  if (holding_view_) {
    PyBuffer_Release(&view_);
    holding_view_ = false;
  }
}

namespace {

// Errors that no conversion may swallow: an interrupt or exit (anything that
// is not an Exception) and memory exhaustion.
bool fatal_error_pending() {
  return !PyErr_ExceptionMatches(PyExc_Exception) ||
         PyErr_ExceptionMatches(PyExc_MemoryError);
}

// Clears the pending error, unless it must reach the caller.
void clear_or_raise() {
  if (fatal_error_pending())
    throw py::error_already_set();
  PyErr_Clear();
}

// ---- Elements ----------------------------------------------------------

// One element, as the library's double conversion reads it: a float's own
// value, otherwise float(); on a TypeError or other ordinary failure, a
// second try through the number protocol.
bool read_element(PyObject *source, bool convert, double &out) {
  if (source == nullptr)
    return false;
  if (PyFloat_CheckExact(source)) {
    out = PyFloat_AS_DOUBLE(source);
    return true;
  }
  if (!(convert || PyFloat_Check(source) || PyLong_Check(source)))
    return false;
  const double value = PyFloat_AsDouble(source);
  if (PyErr_Occurred() == nullptr) {
    out = value;
    return true;
  }
  clear_or_raise();
  if (!convert || PyNumber_Check(source) == 0)
    return false;
  const auto number = py::reinterpret_steal<py::object>(PyNumber_Float(source));
  if (!number) {
    clear_or_raise();
    return false;
  }
  return read_element(number.ptr(), false, out);
}

// Sequences whose length is what iteration yields: their doubles can be
// judged before one is converted. Any other sequence's length is only its
// own claim, judged no harder than the library's conversion would (which
// reserves that much), and its elements are judged as they arrive.
bool length_is_exact(py::handle sequence) {
  return PyList_CheckExact(sequence.ptr()) ||
         PyTuple_CheckExact(sequence.ptr()) || PyRange_Check(sequence.ptr());
}

// A list or tuple of exact floats and ints, read without iterating: such
// elements run no code of their own, so reading them has no side effects
// and, under the list's lock, the list cannot change meanwhile. Returns false
// at the first other element (or an int beyond double), having done nothing
// the ordinary path will not do again. `values` has room reserved for the
// length the sequence reported.
bool read_plain_numbers(py::handle sequence, std::vector<double> &values) {
  PyObject *object = sequence.ptr();
  bool plain = true;
  Py_BEGIN_CRITICAL_SECTION(object);
  const bool list = PyList_CheckExact(object);
  const Py_ssize_t size =
      list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object);
  // Only into the room already reserved: nothing here may throw.
  if (static_cast<std::size_t>(size) > values.capacity())
    plain = false;
  else
    values.resize(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; plain && i < size; ++i) {
    PyObject *item =
        list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
    double value;
    if (PyFloat_CheckExact(item)) {
      value = PyFloat_AS_DOUBLE(item);
    } else if (PyLong_CheckExact(item)) {
      value = PyLong_AsDouble(item);
      if (value == -1.0 && PyErr_Occurred() != nullptr) {
        PyErr_Clear(); // too large: the ordinary path says so its own way
        plain = false;
        break;
      }
    } else {
      plain = false;
      break;
    }
    values[static_cast<std::size_t>(i)] = value;
  }
  Py_END_CRITICAL_SECTION();
  return plain;
}

bool read_elements(py::handle sequence, bool convert, InputSeries &series) {
  const std::size_t claimed =
      py::reinterpret_borrow<py::sequence>(sequence).size();
  if (length_is_exact(sequence))
    ensure_input_fits(claimed);
  else
    ensure_input_allocatable(claimed);
  std::vector<double> values;
  try {
    values.reserve(claimed);
  } catch (const std::length_error &) {
    throw morvel::allocation_error();
  } catch (const std::bad_alloc &) {
    throw morvel::allocation_error();
  }
  if ((PyList_CheckExact(sequence.ptr()) ||
       PyTuple_CheckExact(sequence.ptr())) &&
      read_plain_numbers(sequence, values)) {
    series.own(std::move(values));
    return true;
  }
  values.clear();
  // Every 32 MiB of doubles, whether the next stretch still fits.
  constexpr std::size_t stretch = std::size_t{1} << 22;
  for (const py::handle item : sequence) {
    double value;
    if (!read_element(item.ptr(), convert, value))
      return false;
    if (values.size() % stretch == stretch - 1)
      ensure_input_fits(2 * stretch);
    try {
      values.push_back(value);
    } catch (const std::bad_alloc &) {
      throw morvel::allocation_error();
    }
  }
  series.own(std::move(values));
  return true;
}

// ---- Buffers -----------------------------------------------------------

// The types whose elements, read one by one, are by construction the values
// their buffer holds: the exact built-in and numpy array types, never a
// subclass, which may read its elements otherwise (a masked array does).
bool is_exact_array_type(PyObject *module_name, PyObject *source,
                         const char *type_name) {
  PyObject *module = PyImport_GetModule(module_name);
  if (module == nullptr) {
    // Not imported, so `source` cannot be one of its arrays.
    if (PyErr_Occurred() != nullptr)
      clear_or_raise();
    return false;
  }
  PyObject *type = PyObject_GetAttrString(module, type_name);
  Py_DECREF(module);
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
  static PyObject *const numpy = PyUnicode_InternFromString("numpy");
  static PyObject *const array = PyUnicode_InternFromString("array");
  if (numpy == nullptr || array == nullptr)
    throw py::error_already_set();
  // numpy.memmap changes only how views are made, never how an element is read.
  return is_exact_array_type(numpy, source, "ndarray") ||
         is_exact_array_type(numpy, source, "memmap") ||
         is_exact_array_type(array, source, "array");
}

// Byte order and sizes of a struct-module format prefix.
struct Layout {
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

bool parse_prefix(const char *&format, Layout &layout) {
  switch (*format) {
  case '@':
    ++format;
    return true;
  case '=':
    layout.native_sizes = false;
    ++format;
    return true;
  case '<':
    layout.native_sizes = false;
    layout.swap = !little_endian_host();
    ++format;
    return true;
  case '>':
  case '!':
    layout.native_sizes = false;
    layout.swap = little_endian_host();
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
Format integer_format(const Layout &layout) {
  if (layout.native_sizes)
    return {&widen_number<Native>, sizeof(Native)};
  return {&widen_number<Standard>, sizeof(Standard)};
}

// The element reader for a buffer format, or none where the format is not a
// plain real number (complex, pointers, characters, records...).
Format numeric_format(const char *format) {
  Layout layout;
  if (format == nullptr)
    format = "B";
  parse_prefix(format, layout);
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
    if (!layout.native_sizes)
      return {};
    return {&widen_long_double, sizeof(long double)};
  case '?':
    return {&widen_bool, 1};
  case 'b':
    return {&widen_number<signed char>, 1};
  case 'B':
    return {&widen_number<unsigned char>, 1};
  case 'h':
    return integer_format<short, std::int16_t>(layout);
  case 'H':
    return integer_format<unsigned short, std::uint16_t>(layout);
  case 'i':
    return integer_format<int, std::int32_t>(layout);
  case 'I':
    return integer_format<unsigned int, std::uint32_t>(layout);
  case 'l':
    return integer_format<long, std::int32_t>(layout);
  case 'L':
    return integer_format<unsigned long, std::uint32_t>(layout);
  case 'q':
    return integer_format<long long, std::int64_t>(layout);
  case 'Q':
    return integer_format<unsigned long long, std::uint64_t>(layout);
  case 'n':
    if (!layout.native_sizes)
      return {};
    return {&widen_number<Py_ssize_t>, sizeof(Py_ssize_t)};
  case 'N':
    if (!layout.native_sizes)
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
  return *format != '\0' && std::strchr("<>!=g", *format) == nullptr;
}

// Reads a one-dimensional numeric buffer of an array type whose elements are
// its buffer's values. Returns false, with nothing pending, for every other
// object, which then takes the sequence path.
bool read_buffer(PyObject *source, InputSeries &series) {
  if (!reads_elements_from_its_buffer(source))
    return false;
  Py_buffer view;
  if (PyObject_GetBuffer(source, &view, PyBUF_RECORDS_RO) != 0) {
    clear_or_raise(); // the sequence path reports the object's own errors
    return false;
  }
  const Format format = numeric_format(view.format);
  if (view.ndim != 1 || format.widen == nullptr ||
      (Py_IS_TYPE(source, &PyMemoryView_Type) &&
       !memoryview_reads(view.format)) ||
      static_cast<std::size_t>(view.itemsize) != format.size) {
    PyBuffer_Release(&view);
    return false;
  }
  const auto count = static_cast<std::size_t>(view.shape[0]);
  // An exporter may leave the strides out for a contiguous buffer.
  const Py_ssize_t step =
      view.strides != nullptr ? view.strides[0] : view.itemsize;
  if (native_doubles(view.format) &&
      step == static_cast<Py_ssize_t>(sizeof(double)) &&
      reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0) {
    series.borrow(view, count);
    return true;
  }
  Layout layout;
  const char *rest = view.format;
  parse_prefix(rest, layout);
  std::vector<double> values;
  try {
    ensure_input_fits(count);
    values.resize(count);
  } catch (const std::bad_alloc &) {
    PyBuffer_Release(&view);
    throw morvel::allocation_error();
  }
  const auto *base = static_cast<const char *>(view.buf);
  for (std::size_t i = 0; i < count; ++i)
    values[i] =
        format.widen(base + static_cast<Py_ssize_t>(i) * step, layout.swap);
  PyBuffer_Release(&view);
  series.own(std::move(values));
  return true;
}

} // namespace

bool load_series(py::handle source, bool convert, InputSeries &series) {
  if (!source)
    return false;
  if (read_buffer(source.ptr(), series))
    return true;
  // The library's own rules for what a sequence of doubles accepts.
  if (!py::detail::object_is_convertible_to_std_vector(source))
    return false;
  if (py::isinstance<py::sequence>(source))
    return read_elements(source, convert, series);
  if (!convert)
    return false;
  // Consumed whole first, as tuple(source) would, so that a generator is
  // never left half-read.
  return read_elements(py::tuple(py::reinterpret_borrow<py::iterable>(source)),
                       convert, series);
}

bool load_int32(py::handle source, bool convert, std::int32_t &value) {
  // Read as the library reads a C int: never from a float, else as an
  // integer (through __index__), with int() as a second try.
  using Wide = long;
  PyObject *object = source.ptr();
  if (object == nullptr || PyFloat_Check(object) ||
      !(convert || PyLong_Check(object) || PyIndex_Check(object)))
    return false;
  const Wide wide = PyLong_AsLong(object);
  const bool failed = PyErr_Occurred() != nullptr;
  if (!failed && wide == static_cast<Wide>(static_cast<std::int32_t>(wide))) {
    value = static_cast<std::int32_t>(wide);
    return true;
  }
  if (!failed)
    return false; // outside 32 bits
  clear_or_raise();
  if (!convert || PyNumber_Check(object) == 0)
    return false;
  const auto integer = py::reinterpret_steal<py::object>(PyNumber_Long(object));
  if (!integer) {
    clear_or_raise();
    return false;
  }
  return load_int32(integer, false, value);
}

} // namespace morvel::binding
