// The Python skin over the morvel core: argument conversion, the memory guard
// and the building of the result lists happen here; every number comes from
// the core.
#include <morvel/morvel.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <cstring>
#include <unistd.h>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// The converted `ts`: either a view straight into the caller's buffer (a
// contiguous float64 buffer, read in place) or converted doubles.
class InputSeries {
public:
  InputSeries() = default;
  InputSeries(const InputSeries &) = delete;
  InputSeries &operator=(const InputSeries &) = delete;
  InputSeries(InputSeries &&) = delete;
  InputSeries &operator=(InputSeries &&) = delete;
  ~InputSeries() { release(); }

  const double *data() const { return data_; }
  std::size_t size() const { return size_; }

  void own(std::vector<double> &&values) {
    release();
    owned_ = std::move(values);
    data_ = owned_.data();
    size_ = owned_.size();
  }

  // Takes over a Py_buffer holding contiguous native doubles.
  void borrow(Py_buffer &view, std::size_t count) {
    release();
    view_ = view;
    holding_view_ = true;
    data_ = static_cast<const double *>(view_.buf);
    size_ = count;
  }

private:
  void release() {
    if (holding_view_) {
      PyBuffer_Release(&view_);
      holding_view_ = false;
    }
  }

  const double *data_ = nullptr;
  std::size_t size_ = 0;
  std::vector<double> owned_;
  Py_buffer view_{};
  bool holding_view_ = false;
};

template <typename T>
void widen(const Py_buffer &view, std::size_t count, std::vector<double> &out) {
  const auto *base = static_cast<const char *>(view.buf);
  const Py_ssize_t step = view.strides[0];
  for (std::size_t i = 0; i < count; ++i) {
    T element;
    std::memcpy(&element, base + static_cast<Py_ssize_t>(i) * step, sizeof element);
    out[i] = static_cast<double>(element);
  }
}

// Reads a 1-D buffer of a native numeric format into doubles, exactly as
// float() reads each element (integers round to nearest, ties to even, as
// both the C conversion and int.__float__ do). Returns false for any other
// layout or format, which then take the sequence path.
bool read_buffer(py::handle source, InputSeries &series) {
  if (PyUnicode_Check(source.ptr()) || PyBytes_Check(source.ptr()) ||
      !PyObject_CheckBuffer(source.ptr()))
    return false;
  Py_buffer view;
  if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear(); // the sequence path reports this object's own errors
    return false;
  }
  const char *format = view.format != nullptr ? view.format : "B";
  if (format[0] == '@')
    ++format;
  if (view.ndim != 1 || format[0] == '\0' || format[1] != '\0') {
    PyBuffer_Release(&view);
    return false;
  }
  const auto count = static_cast<std::size_t>(view.shape[0]);
  const char code = format[0];
  if (code == 'd' && view.strides[0] == static_cast<Py_ssize_t>(sizeof(double))) {
    series.borrow(view, count);
    return true;
  }
  std::vector<double> values;
  try {
    values.resize(count);
  } catch (const std::bad_alloc &) {
    PyBuffer_Release(&view);
    throw morvel::allocation_error();
  }
  bool known = true;
  switch (code) {
  case 'd': widen<double>(view, count, values); break;
  case 'f': widen<float>(view, count, values); break;
  case 'b': widen<signed char>(view, count, values); break;
  case 'B': widen<unsigned char>(view, count, values); break;
  case '?': widen<bool>(view, count, values); break;
  case 'h': widen<short>(view, count, values); break;
  case 'H': widen<unsigned short>(view, count, values); break;
  case 'i': widen<int>(view, count, values); break;
  case 'I': widen<unsigned int>(view, count, values); break;
  case 'l': widen<long>(view, count, values); break;
  case 'L': widen<unsigned long>(view, count, values); break;
  case 'q': widen<long long>(view, count, values); break;
  case 'Q': widen<unsigned long long>(view, count, values); break;
  case 'n': widen<Py_ssize_t>(view, count, values); break;
  case 'N': widen<std::size_t>(view, count, values); break;
  default: known = false;
  }
  PyBuffer_Release(&view);
  if (known)
    series.own(std::move(values));
  return known;
}

} // namespace

namespace pybind11::detail {

// Accepts what a sequence of doubles accepts, with the same signature, and
// reads numeric buffers (numpy arrays, array.array, memoryview, bytearray)
// without a Python object per element.
template <> class type_caster<InputSeries> {
  using sequence_caster = make_caster<std::vector<double>>;

public:
  static constexpr auto name = sequence_caster::name;

  bool load(handle source, bool convert) {
    if (read_buffer(source, value))
      return true;
    sequence_caster generic;
    if (!generic.load(source, convert))
      return false;
    value.own(cast_op<std::vector<double> &&>(std::move(generic)));
    return true;
  }

  template <typename T> using cast_op_type = InputSeries &;
  explicit operator InputSeries &() { return value; }

private:
  InputSeries value;
};

} // namespace pybind11::detail

namespace {

using FloatRows = py::typing::List<py::typing::List<float>>;
using LetterRows = py::typing::List<py::typing::List<py::str>>;

double physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0)
    return 0.0;
  return static_cast<double>(pages) * static_cast<double>(page_size);
}

// Linux overcommits: a result larger than the machine is not refused by the
// allocator but killed while it is filled. Refuse it up front instead,
// counting the Python objects it will take (the core works a tile at a time).
// Estimated in double precision: the products can exceed 64 bits.
void ensure_result_fits(std::size_t length, std::int32_t window,
                        std::int32_t stride, std::int32_t w,
                        double python_cell_bytes) {
  if (w < 0 || window < 0)
    return; // the core refuses it before any list is built
  const std::int32_t count = morvel::window_count(length, window, stride);
  if (count <= 0)
    return;
  const double rows = count;
  const double width = w;
  constexpr double list_bytes = 72.0; // list object with its GC header
  constexpr double pointer_bytes = sizeof(void *);
  const double needed =
      list_bytes + rows * (pointer_bytes + list_bytes +
                           width * (pointer_bytes + python_cell_bytes));
  const double available = physical_memory_bytes();
  if (available > 0.0 && needed > available)
    throw morvel::allocation_error();
}

// A new Python object, or the core's wording of memory exhaustion.
PyObject *checked(PyObject *object) {
  if (object == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      throw morvel::allocation_error();
    }
    throw py::error_already_set();
  }
  return object;
}

// Builds the result lists a tile at a time, while the tile is still in cache:
// the core's rows never exist in full beside the Python ones.
template <typename Rows, typename T, typename MakeCell> class ListBuilder {
public:
  ListBuilder(std::size_t rows, std::size_t columns, MakeCell make_cell)
      : rows_(rows), columns_(columns), make_cell_(make_cell) {}

  morvel::TileSink<T> sink() {
    return [this](std::size_t first, std::size_t rows, const T *cells) {
      if (!outer_)
        outer_ = py::reinterpret_steal<py::object>(
            checked(PyList_New(static_cast<Py_ssize_t>(rows_))));
      for (std::size_t i = first; i < first + rows; ++i) {
        PyObject *row = checked(PyList_New(static_cast<Py_ssize_t>(columns_)));
        PyList_SET_ITEM(outer_.ptr(), static_cast<Py_ssize_t>(i), row);
        for (std::size_t j = 0; j < columns_; ++j, ++cells)
          PyList_SET_ITEM(row, static_cast<Py_ssize_t>(j), make_cell_(*cells));
      }
    };
  }

  Rows result() {
    if (!outer_) // no window at all
      outer_ = py::reinterpret_steal<py::object>(checked(PyList_New(0)));
    return py::reinterpret_steal<Rows>(outer_.release());
  }

private:
  std::size_t rows_;
  std::size_t columns_;
  MakeCell make_cell_;
  py::object outer_; // null until the first tile
};

template <typename Rows, typename T, typename MakeCell>
ListBuilder<Rows, T, MakeCell> list_builder(std::size_t length, std::int32_t window,
                                            std::int32_t stride, std::int32_t w,
                                            MakeCell make_cell) {
  // Only used once the core has accepted the call, so the count is >= 0.
  const std::int32_t count = morvel::window_count(length, window, stride);
  return ListBuilder<Rows, T, MakeCell>(
      count < 0 ? 0 : static_cast<std::size_t>(count),
      w < 0 ? 0 : static_cast<std::size_t>(w), make_cell);
}

FloatRows paa(const InputSeries &ts, std::int32_t window, std::int32_t stride,
              std::int32_t w) {
  morvel::check_domain(ts.size(), window, stride);
  ensure_result_fits(ts.size(), window, stride, w, sizeof(PyFloatObject));
  auto builder = list_builder<FloatRows, double>(
      ts.size(), window, stride, w,
      [](double mean) { return checked(PyFloat_FromDouble(mean)); });
  morvel::paa_tiles(ts.data(), ts.size(), window, stride, w, builder.sink());
  return builder.result();
}

LetterRows sax(const InputSeries &ts, std::int32_t window, std::int32_t stride,
               std::int32_t w, std::int32_t alpha) {
  morvel::check_alphabet(alpha);
  morvel::check_domain(ts.size(), window, stride);
  // Letters are the interpreter's shared one-character strings: no Python
  // object per cell.
  ensure_result_fits(ts.size(), window, stride, w, 0.0);
  // Every byte a cell can hold: NUL and 'a' + 0 ... 'a' + alpha - 1.
  py::object shared[1 + morvel::max_alphabet];
  shared[0] = py::reinterpret_steal<py::object>(checked(PyUnicode_FromOrdinal(0)));
  for (int r = 0; r < morvel::max_alphabet; ++r)
    shared[1 + r] =
        py::reinterpret_steal<py::object>(checked(PyUnicode_FromOrdinal('a' + r)));
  auto builder = list_builder<LetterRows, char>(
      ts.size(), window, stride, w, [&shared](char code) {
        PyObject *letter = shared[code == '\0' ? 0 : 1 + (code - 'a')].ptr();
        Py_INCREF(letter);
        return letter;
      });
  morvel::sax_tiles(ts.data(), ts.size(), window, stride, w, alpha,
                    builder.sink());
  return builder.result();
}

} // namespace

PYBIND11_MODULE(morvel, m) {
  m.def("sax", &sax, py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
        py::arg("w") = 15, py::arg("alpha") = 4,
        "Apply SAX to a single time series.");
  m.def("paa", &paa, py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
        py::arg("w") = 15, "Apply PAA to a single time series.");
}
