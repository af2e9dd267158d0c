#include "input_conversion.hpp"

#include "buffer_formats.hpp"
#include "memory_guard.hpp"
#include "python_errors.hpp"
#include "thread_state.hpp"

#include <morvel/morvel.hpp>

#include <cstdint>
#include <new>
#include <utility>

namespace py = pybind11;

namespace morvel::binding {

namespace {

// Room for `count` doubles, or the core's wording of memory exhaustion.
void reserve(std::vector<double> &values, std::size_t count) {
  try {
    values.reserve(count);
  } catch (const std::length_error &) {
    throw morvel::allocation_error();
  } catch (const std::bad_alloc &) {
    throw morvel::allocation_error();
  }
}

} // namespace

void InputSeries::own(std::vector<double> &&values) {
  release();
  keep(std::move(values));
}

void InputSeries::keep(std::vector<double> &&values) {
  fill_ = nullptr;
  owned_ = std::move(values);
  data_ = owned_.data();
  size_ = owned_.size();
}

void InputSeries::hold(Py_buffer &view) {
  release();
  view_ = view;
  holding_view_ = true;
}

void InputSeries::borrow(Py_buffer &view, std::size_t count) {
  hold(view);
  data_ = static_cast<const double *>(view_.buf);
  size_ = count;
}

void InputSeries::defer(std::size_t count, Fill fill, Py_buffer *view) {
  if (view != nullptr)
    hold(*view);
  else
    release();
  data_ = nullptr;
  size_ = count;
  fill_ = std::move(fill);
}

void InputSeries::make_pending() {
  std::vector<double> values;
  reserve(values, size_);
  values.resize(size_);
  fill_(values.data(), size_);
  // Not own(): it would release the export, a call into the interpreter.
  keep(std::move(values));
}

bool InputSeries::reads_from(const void *begin, const void *end) const {
  // The export is the one-dimensional buffer read_buffer() took.
  if (!holding_view_ || size_ == 0)
    return false;
  const auto first = reinterpret_cast<std::uintptr_t>(begin);
  const auto last = reinterpret_cast<std::uintptr_t>(end);
  if (first >= last)
    return false;
  // The elements in ascending order: `count` of them, `step` bytes apart,
  // each `width` bytes long, the lowest at `low`.
  const Py_ssize_t stride =
      view_.strides != nullptr ? view_.strides[0] : view_.itemsize;
  const auto count = static_cast<std::uintptr_t>(size_);
  const auto step = static_cast<std::uintptr_t>(stride < 0 ? -stride : stride);
  const auto width = static_cast<std::uintptr_t>(view_.itemsize);
  auto low = reinterpret_cast<std::uintptr_t>(view_.buf);
  if (stride < 0)
    low -= (count - 1) * step;
  if (last <= low)
    return false;
  // The first element that ends above `first`; it shares a byte with the
  // range if it also starts below `last`.
  std::uintptr_t k = 0;
  if (first >= low + width) {
    if (step == 0)
      return false;
    k = (first - low - width) / step + 1;
  }
  return k < count && low + k * step < last;
}

void InputSeries::release_copied_source() {
  if (!fill_ && data_ == owned_.data())
    release();
}

void InputSeries::release() {
  if (holding_view_) {
    MORVEL_EXPECT_THREAD_STATE();
    PyBuffer_Release(&view_);
    holding_view_ = false;
  }
}

namespace {

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

// What reading a list or tuple of plain numbers came to.
enum class PlainRead { read, needs_room, other_elements };

// A list or tuple of exact floats and ints, read without iterating: such
// elements run no code of their own, so reading them has no side effects,
// and under the list's lock its length and elements are one state of it.
// Writes only into the room `values` has reserved, so nothing here throws:
// where the list has grown beyond it, `needed` says how much to reserve
// before trying again. other_elements at the first other element (or an int
// beyond double), having done nothing the ordinary path will not do again.
PlainRead read_plain_numbers(PyObject *sequence, std::vector<double> &values,
                             std::size_t &needed) {
  PlainRead outcome = PlainRead::read;
  Py_BEGIN_CRITICAL_SECTION(sequence);
  const bool list = PyList_CheckExact(sequence);
  const Py_ssize_t size =
      list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
  needed = static_cast<std::size_t>(size);
  if (needed > values.capacity())
    outcome = PlainRead::needs_room;
  else
    values.resize(needed);
  for (Py_ssize_t i = 0; outcome == PlainRead::read && i < size; ++i) {
    PyObject *item =
        list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i);
    double value;
    if (PyFloat_CheckExact(item)) {
      value = PyFloat_AS_DOUBLE(item);
    } else if (PyLong_CheckExact(item)) {
      value = PyLong_AsDouble(item);
      if (value == -1.0 && PyErr_Occurred() != nullptr) {
        PyErr_Clear(); // too large: the ordinary path says so its own way
        outcome = PlainRead::other_elements;
        break;
      }
    } else {
      outcome = PlainRead::other_elements;
      break;
    }
    values[static_cast<std::size_t>(i)] = value;
  }
  Py_END_CRITICAL_SECTION();
  return outcome;
}

bool read_elements(py::handle sequence, bool convert, InputSeries &series) {
  const std::size_t claimed =
      py::reinterpret_borrow<py::sequence>(sequence).size();
  if (length_is_exact(sequence))
    ensure_input_fits(claimed);
  else
    ensure_input_allocatable(claimed);
  std::vector<double> values;
  reserve(values, claimed);
  py::object snapshot;
  const bool list = PyList_CheckExact(sequence.ptr());
  if (list || PyTuple_CheckExact(sequence.ptr())) {
    std::size_t needed = 0;
    PlainRead outcome;
    // A list that grew since its length was taken: more room, outside its
    // lock, then read it whole again.
    while ((outcome = read_plain_numbers(sequence.ptr(), values, needed)) ==
           PlainRead::needs_room) {
      ensure_input_fits(needed);
      reserve(values, needed);
    }
    if (outcome == PlainRead::read) {
      series.own(std::move(values));
      return true;
    }
    if (list) {
      // Elements that run code of their own are read from a copy of the
      // list taken under its lock, as list(lst) takes it: one state of the
      // list, whatever another thread does to it meanwhile.
      snapshot =
          py::reinterpret_steal<py::object>(PyList_AsTuple(sequence.ptr()));
      if (!snapshot)
        throw py::error_already_set();
    }
  }
  values.clear();
  // Every 32 MiB of doubles, whether the next stretch still fits.
  constexpr std::size_t stretch = std::size_t{1} << 22;
  for (const py::handle item : snapshot ? snapshot : sequence) {
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

// A range whose every element is an integer of 64 bits reads as those
// integers, each rounded to the nearest double as float() rounds it: nothing
// in it can fail, so it is read only once the call has been planned.
bool defer_range(PyObject *source, InputSeries &series) {
  if (!PyRange_Check(source))
    return false;
  const Py_ssize_t length = PyObject_Length(source);
  if (length < 0) {
    clear_or_raise(); // the sequence path reports it again, as its own
    return false;
  }
  long long bounds[3];
  const char *const names[3] = {"start", "stop", "step"};
  for (int i = 0; i < 3; ++i) {
    const auto bound = py::reinterpret_steal<py::object>(
        PyObject_GetAttrString(source, names[i]));
    if (!bound) {
      clear_or_raise();
      return false;
    }
    int overflow = 0;
    bounds[i] = PyLong_AsLongLongAndOverflow(bound.ptr(), &overflow);
    if (overflow != 0)
      return false;
    if (bounds[i] == -1 && PyErr_Occurred() != nullptr) {
      clear_or_raise();
      return false;
    }
  }
  const long long start = bounds[0];
  const long long step = bounds[2];
  series.defer(
      static_cast<std::size_t>(length),
      [start, step](double *out, std::size_t count) {
        // Every value is an element, so none overflows; the step after the
        // last is never taken.
        long long value = start;
        for (std::size_t i = 0; i < count; ++i) {
          out[i] = static_cast<double>(value);
          if (i + 1 < count)
            value += step;
        }
      },
      nullptr);
  return true;
}

} // namespace

bool load_series(py::handle source, bool convert, InputSeries &series) {
  MORVEL_EXPECT_THREAD_STATE();
  if (!source)
    return false;
  if (auto buffer = read_buffer(source.ptr())) {
    if (buffer->widen)
      series.defer(buffer->count, std::move(buffer->widen), &buffer->view);
    else
      series.borrow(buffer->view, buffer->count);
    return true;
  }
  if (defer_range(source.ptr(), series))
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

} // namespace morvel::binding
