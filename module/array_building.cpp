#include "array_building.hpp"

#include "memory_guard.hpp"
#include "thread_state.hpp"

#include <pybind11/numpy.h>

#include <string>
#include <vector>

namespace py = pybind11;

namespace morvel::binding {

namespace {

template <typename T> py::dtype cell_type() {
  if constexpr (std::is_same_v<T, double>)
    return py::dtype::of<double>();
  else
    return py::dtype("S1");
}

// The caller's array, if it is exactly the result's: checked in the order
// type, dtype, shape, order, writability, overlap, so that the first fault
// is the one named.
template <typename T>
py::array checked_out(const py::object &out, const Plan &plan,
                      const InputSeries &ts) {
  if (!py::isinstance<py::array>(out))
    throw py::type_error("out must be a numpy.ndarray, not " +
                         std::string(Py_TYPE(out.ptr())->tp_name));
  auto array = py::reinterpret_borrow<py::array>(out);
  const py::dtype expected = cell_type<T>();
  if (!array.dtype().equal(expected))
    throw py::type_error("out must have dtype " +
                         py::str(expected).cast<std::string>() + ", not " +
                         py::str(array.dtype()).cast<std::string>());
  const std::vector<std::size_t> wanted = {plan.shape.rows, plan.shape.columns};
  std::vector<std::size_t> shape;
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis)
    shape.push_back(static_cast<std::size_t>(array.shape(axis)));
  if (shape != wanted)
    throw py::value_error("out must have shape " + shape_text(wanted) +
                          ", the result's, not " + shape_text(shape));
  if ((array.flags() & py::array::c_style) == 0)
    throw py::value_error("out must be C-contiguous");
  if (!array.writeable())
    throw py::value_error("out is read-only");
  const auto *begin = static_cast<const char *>(array.data());
  if (ts.reads_from(begin, begin + array.nbytes()))
    throw py::value_error("out shares memory with ts");
  return array;
}

// Holds a buffer export of the caller's array for the call, so that nothing
// can resize it while the kernels write into it without the interpreter.
class Export {
public:
  explicit Export(const py::array &array) {
    MORVEL_EXPECT_THREAD_STATE();
    if (PyObject_GetBuffer(array.ptr(), &view_,
                           PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0)
      throw py::error_already_set();
  }
  Export(const Export &) = delete;
  Export &operator=(const Export &) = delete;
  ~Export() {
    MORVEL_EXPECT_THREAD_STATE();
    PyBuffer_Release(&view_);
  }
  void *data() const { return view_.buf; }

private:
  Py_buffer view_{};
};

template <typename T>
py::object build_array(const Plan &plan, InputSeries &ts,
                       const std::optional<ArrayOf<T>> &out) {
  std::optional<py::array> given;
  if (out)
    given = checked_out<T>(out->array, plan, ts);
  ensure_call_fits(plan, ts.pending(),
                   given ? ResultKind::given_array : ResultKind::array);
  py::array result =
      given ? *given
            : py::array(cell_type<T>(),
                        std::vector<py::ssize_t>{
                            static_cast<py::ssize_t>(plan.shape.rows),
                            static_cast<py::ssize_t>(plan.shape.columns)});
  std::optional<Export> held;
  T *cells;
  if (given) {
    held.emplace(result);
    cells = static_cast<T *>(held->data());
  } else {
    cells = static_cast<T *>(result.mutable_data());
  }
  {
    // Nothing here may call the interpreter: widening a buffer reads only
    // its bytes, and its export is released with `ts`, after the call.
    py::gil_scoped_release released;
    ts.materialise();
    run(plan, ts.data(), cells);
  }
  return result;
}

} // namespace

py::object paa_array(const Plan &plan, InputSeries &ts,
                     const std::optional<ArrayOf<double>> &out) {
  return build_array<double>(plan, ts, out);
}

py::object sax_array(const Plan &plan, InputSeries &ts,
                     const std::optional<ArrayOf<char>> &out) {
  return build_array<char>(plan, ts, out);
}

} // namespace morvel::binding
