// Reading `ts` into doubles, exactly as the binding library's standard
// conversion reads a sequence of doubles, with two differences a caller can
// only notice for the better:
//  - numeric buffers whose element access is their own buffer are read in
//    place (or widened without a Python object per element);
//  - an interrupt (anything that is not an Exception) or a MemoryError raised
//    while an element is read propagates at once instead of being swallowed
//    and the element read again.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace morvel::binding {

// The converted `ts`: a view straight into the caller's buffer, doubles
// owned here, or, where reading cannot fail (a range, a numeric buffer to
// widen), only its length until the call has been planned and guarded.
// Neither copyable nor movable: it may hold a buffer export, which it
// releases when destroyed, and must then be destroyed with the thread state
// attached.
class InputSeries {
public:
  InputSeries() = default;
  InputSeries(const InputSeries &) = delete;
  InputSeries &operator=(const InputSeries &) = delete;
  InputSeries(InputSeries &&) = delete;
  InputSeries &operator=(InputSeries &&) = delete;
  ~InputSeries() { release(); }

  // Valid once materialise() has run.
  const double *data() const { return data_; }
  std::size_t size() const { return size_; }
  // Doubles still to be made by materialise().
  std::size_t pending() const { return fill_ ? size_ : 0; }
  // Whether an element of the caller's buffer that the series reads (in
  // place or to widen it) has a byte in [begin, end): a result written there
  // would change the series while it is read. Exact, element by element, as
  // numpy.shares_memory decides it. O(1).
  bool reads_from(const void *begin, const void *end) const;

  // Makes the pending doubles, if any. Calls nothing of the interpreter, so
  // it may run with the thread state detached; the buffer it read is
  // released only with the series, which needs the thread state. Throws
  // morvel::allocation_error when the doubles cannot be had. Cost: one pass
  // over them.
  void materialise() {
    if (fill_)
      make_pending();
  }

  // Releases the buffer export when the series no longer reads it (its
  // doubles were made from it): the source may then be resized. Needs the
  // thread state. O(1).
  void release_copied_source();

  void own(std::vector<double> &&values);
  // Takes over a buffer export of `count` contiguous native doubles.
  void borrow(Py_buffer &view, std::size_t count);
  // `count` doubles that fill(out, count) will write, reading the buffer
  // export it takes over, if any.
  using Fill = std::function<void(double *out, std::size_t count)>;
  void defer(std::size_t count, Fill fill, Py_buffer *view);

private:
  void make_pending();
  // Takes the doubles as the series, leaving any export held.
  void keep(std::vector<double> &&values);
  void release();
  void hold(Py_buffer &view);

  const double *data_ = nullptr;
  std::size_t size_ = 0;
  std::vector<double> owned_;
  Fill fill_;
  Py_buffer view_{};
  bool holding_view_ = false;
};

// Reads `source` as a sequence of doubles. Returns false where the library
// refuses the argument; throws pybind11::error_already_set for an error that
// must reach the caller unchanged (raised by the sequence itself, or an
// interrupt or MemoryError from an element), and MemoryError("bad
// allocation") for a series this process cannot hold.
bool load_series(pybind11::handle source, bool convert, InputSeries &series);

} // namespace morvel::binding

namespace pybind11::detail {

// Same accepted inputs and rendered type as a std::vector<double> argument.
template <> class type_caster<morvel::binding::InputSeries> {
public:
  static constexpr auto name = make_caster<std::vector<double>>::name;

  bool load(handle source, bool convert) {
    return morvel::binding::load_series(source, convert, value);
  }

  template <typename T> using cast_op_type = morvel::binding::InputSeries &;
  explicit operator morvel::binding::InputSeries &() { return value; }

private:
  morvel::binding::InputSeries value;
};

} // namespace pybind11::detail
