// morvel.Index: the series is converted once and held for the index's
// lifetime; the core builds and searches with the interpreter released; the
// tables are the core's own vectors after a build, or the files themselves
// (mapped or read) after a load, which checks everything it reads before
// the core sees it.
#include "similarity_index.hpp"

#include "index_files.hpp"
#include "input_conversion.hpp"
#include "memory_guard.hpp"
#include "numpy_presence.hpp"
#include "thread_state.hpp"

#include <morvel/index.hpp>
#include <morvel/index_format.hpp>
#include <morvel/morvel.hpp>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace morvel::binding {
namespace {

std::int32_t default_threads() {
  return static_cast<std::int32_t>(
      std::max(1U, std::thread::hardware_concurrency()));
}

std::int32_t thread_count(const std::optional<std::int64_t> &threads) {
  if (!threads)
    return default_threads();
  if (*threads < 1)
    throw py::value_error("threads must be at least 1, not " +
                          std::to_string(*threads));
  return static_cast<std::int32_t>(std::min<std::int64_t>(*threads, 1024));
}

// How q holds its queries: one series, a numeric numpy array of rows (read
// as float64 by numpy), or a list or tuple of rows (each read as a series).
enum class QueryForm { one, array_rows, listed_rows };

QueryForm query_form(py::handle q) {
  const py::module_ numpy = py::module_::import("numpy");
  if (PyObject_CheckBuffer(q.ptr())) {
    Py_buffer view;
    if (PyObject_GetBuffer(q.ptr(), &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
      PyErr_Clear();
      return QueryForm::one;
    }
    const int dimensions = view.ndim;
    PyBuffer_Release(&view);
    if (dimensions != 2)
      return QueryForm::one;
    const bool plain =
        q.get_type().is(numpy.attr("ndarray")) || PyMemoryView_Check(q.ptr());
    const char kind = py::array(numpy.attr("asarray")(q)).dtype().kind();
    if (!plain || !(kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b'))
      throw py::type_error("rows of queries must be a 2-D numpy array of "
                           "real numbers, or a list of rows");
    return QueryForm::array_rows;
  }
  if ((PyList_CheckExact(q.ptr()) || PyTuple_CheckExact(q.ptr())) &&
      py::len(q) > 0) {
    const py::handle first = q[py::int_(0)];
    if (PyList_Check(first.ptr()) || PyTuple_Check(first.ptr()) ||
        (py::isinstance<py::array>(first) &&
         py::array::ensure(first).ndim() >= 1))
      return QueryForm::listed_rows;
  }
  return QueryForm::one;
}

class Index {
public:
  // Every method asks first: an instance made by Index.__new__ alone has
  // storage that no constructor ran on.
  void require_ready() const {
    if (ready_ != ready_mark)
      throw py::type_error("this morvel.Index was never initialised: make "
                           "one with Index(ts, window) or Index.load(path)");
  }
  ~Index() { ready_ = 0; }
  Index(const Index &) = delete;
  Index &operator=(const Index &) = delete;

  Index(py::handle ts, std::int64_t window, std::int64_t stride,
        std::optional<std::int64_t> w, std::optional<std::int64_t> threads,
        bool progress)
      : series_(std::make_unique<InputSeries>()) {
    require_numpy("Index");
    if (!load_series(ts, true, *series_))
      throw py::type_error(
          "ts must be a sequence of numbers or a numeric buffer, not " +
          py::str(py::type::handle_of(ts).attr("__name__"))
              .cast<std::string>());
    shape_ = plan_index(static_cast<std::int64_t>(series_->size()), window,
                        stride, w.value_or(std::min<std::int64_t>(16, window)));
    ensure_input_fits(series_->pending());
    ensure_arrays_fit(index_bytes(shape_).peak);
    {
      py::gil_scoped_release released;
      series_->materialise();
    }
    built_ = built(series_->data(), thread_count(threads), progress);
    series_->release_copied_source();
    ts_ = series_->data();
    tables_ = built_.tables();
    ready_ = ready_mark;
  }

  // A saved index, checked; with `verify`, its tables built again from its
  // series and compared.
  static std::unique_ptr<Index> load(const py::object &path, bool mmap,
                                     bool verify);

  void save(const py::object &path) const;

  py::tuple query(py::handle q, std::int64_t k,
                  std::optional<std::int64_t> exclude, py::handle within,
                  bool exact, std::optional<std::int64_t> threads);

  py::array profile(py::handle q) const {
    require_ready();
    Queries queries = read_queries(q);
    if (queries.rows != 1 || queries.two_dimensional)
      throw py::value_error("profile takes one query");
    py::array_t<double> result(shape_.count);
    double *out = result.mutable_data();
    {
      py::gil_scoped_release released;
      distance_profile(shape_, ts_, queries.data, out);
    }
    return result;
  }

  py::dict stats() const {
    require_ready();
    SearchStats last;
    {
      std::lock_guard<std::mutex> lock(stats_mutex_);
      last = last_;
    }
    py::dict result;
    result["windows"] = shape_.count;
    result["leaves"] = leaf_count(tables_.ranked);
    result["leaf_bounds"] = last.leaf_bounds;
    result["leaves_searched"] = last.leaves;
    result["window_bounds"] = last.window_bounds;
    result["distances"] = last.distances;
    result["abandoned"] = last.abandoned;
    return result;
  }

  const IndexShape &shape() const {
    require_ready();
    return shape_;
  }
  std::int64_t nbytes() const {
    require_ready();
    return tables_.ranked * (shape_.w + 4) +
           leaf_count(tables_.ranked) * 2 * shape_.w +
           (tables_.irregular_count + tables_.shapeless_count) * 4;
  }

private:
  Index() = default;

  // The tables of ts under shape_, built on `workers` threads with the
  // interpreter released; Ctrl-C stops the build between its steps.
  BuiltIndex built(const double *ts, std::int32_t workers,
                   bool progress) const {
    std::int64_t shown = -1;
    const BuildProgress report = [&](std::int64_t done) {
      py::gil_scoped_acquire acquired;
      if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
      const py::object stream = py::module_::import("sys").attr("stderr");
      if (progress && !stream.is_none()) {
        const std::int64_t percent = done * 100 / shape_.count;
        if (percent != shown) {
          shown = percent;
          stream.attr("write")("\rmorvel.Index: " + std::to_string(done) +
                               " of " + std::to_string(shape_.count) +
                               " windows" + (done == shape_.count ? "\n" : ""));
        }
      }
    };
    py::gil_scoped_release released;
    return build_index(shape_, ts, workers, report);
  }

  // Refuses tables that are not those the series determines.
  void verify() const {
    ensure_arrays_fit(index_bytes(shape_).peak);
    const BuiltIndex again = built(ts_, default_threads(), false);
    const IndexTables expected = again.tables();
    const auto differs = [](const auto *a, const auto *b, std::int64_t count) {
      return count > 0 &&
             std::memcmp(a, b, static_cast<std::size_t>(count) * sizeof(*a)) !=
                 0;
    };
    const auto refuse = [](const std::string &what) {
      return unreadable_index("its " + what + " are not those of its series");
    };
    if (expected.ranked != tables_.ranked ||
        expected.irregular_count != tables_.irregular_count ||
        differs(expected.irregular, tables_.irregular,
                expected.irregular_count))
      throw refuse("irregular windows");
    if (differs(expected.shapeless, tables_.shapeless,
                expected.shapeless_count))
      throw refuse("shapeless windows");
    if (differs(expected.windows, tables_.windows, expected.ranked))
      throw refuse("windows");
    if (differs(expected.words, tables_.words, expected.ranked * shape_.w))
      throw refuse("words");
    if (differs(expected.boxes, tables_.boxes,
                leaf_count(expected.ranked) * 2 * shape_.w))
      throw refuse("boxes");
  }

  static constexpr std::uint64_t ready_mark = 0x6d6f7276656c2e49;
  std::uint64_t ready_ = 0;

  // Queries as the core reads them: rows of `window` doubles.
  struct Queries {
    std::unique_ptr<InputSeries> series; // one query
    py::array array;                     // or rows of a 2-D array
    std::vector<double> rows_read;       // or rows read one by one
    const double *data = nullptr;
    std::int64_t rows = 0;
    bool two_dimensional = false;
  };

  Queries read_queries(py::handle q) const {
    Queries queries;
    const QueryForm form = query_form(q);
    const auto check_length = [&](std::int64_t values) {
      if (values != shape_.window)
        throw py::value_error("q must hold the window's " +
                              std::to_string(shape_.window) + " values, not " +
                              std::to_string(values));
    };
    if (form == QueryForm::array_rows) {
      queries.array =
          py::module_::import("numpy").attr("ascontiguousarray")(q, "float64");
      check_length(queries.array.shape(1));
      queries.rows = queries.array.shape(0);
      queries.data = static_cast<const double *>(queries.array.data());
      queries.two_dimensional = true;
      return queries;
    }
    if (form == QueryForm::listed_rows) {
      const auto rows = static_cast<std::int64_t>(py::len(q));
      ensure_input_fits(static_cast<std::size_t>(rows * shape_.window));
      for (const py::handle row : q) {
        InputSeries series;
        if (!load_series(row, true, series))
          throw py::type_error(
              "each row of q must be a sequence of numbers, not " +
              py::str(py::type::handle_of(row).attr("__name__"))
                  .cast<std::string>());
        check_length(static_cast<std::int64_t>(series.size()));
        series.materialise();
        queries.rows_read.insert(queries.rows_read.end(), series.data(),
                                 series.data() + series.size());
      }
      queries.rows = rows;
      queries.data = queries.rows_read.data();
      queries.two_dimensional = true;
      return queries;
    }
    queries.series = std::make_unique<InputSeries>();
    if (!load_series(q, true, *queries.series))
      throw py::type_error(
          "q must be a sequence of numbers, a numeric buffer or a 2-D array, "
          "not " +
          py::str(py::type::handle_of(q).attr("__name__")).cast<std::string>());
    check_length(static_cast<std::int64_t>(queries.series->size()));
    queries.series->materialise();
    queries.data = queries.series->data();
    queries.rows = 1;
    return queries;
  }

  IndexShape shape_;
  std::unique_ptr<InputSeries> series_; // a built index's series
  BuiltIndex built_;
  std::vector<py::object> memory_; // a loaded index's files
  const double *ts_ = nullptr;
  IndexTables tables_;
  mutable std::mutex stats_mutex_;
  SearchStats last_;
};

// `within` for each row of queries: None, one number for every row, or (for
// rows) one number per row.
std::vector<std::optional<double>>
limits_of(py::handle within, std::int64_t rows, bool two_dimensional) {
  std::vector<double> values;
  if (within.is_none()) {
    values.assign(static_cast<std::size_t>(rows),
                  std::numeric_limits<double>::infinity());
  } else if (PyObject_Size(within.ptr()) < 0) { // no length: one number
    PyErr_Clear();
    const double value = PyFloat_AsDouble(within.ptr());
    if (value == -1.0 && PyErr_Occurred())
      throw py::error_already_set();
    values.assign(static_cast<std::size_t>(rows), value);
  } else {
    InputSeries series;
    if (!two_dimensional || !load_series(within, true, series) ||
        static_cast<std::int64_t>(series.size()) != rows)
      throw py::value_error(
          "within must be a number, or for rows of queries one number per "
          "row");
    series.materialise();
    values.assign(series.data(), series.data() + series.size());
  }
  std::vector<std::optional<double>> limits(values.size());
  for (std::size_t row = 0; row < values.size(); ++row) {
    if (std::isnan(values[row]))
      throw py::value_error("within must be a number, not NaN");
    if (!within.is_none())
      limits[row] = values[row];
  }
  return limits;
}

py::tuple Index::query(py::handle q, std::int64_t k,
                       std::optional<std::int64_t> exclude, py::handle within,
                       bool exact, std::optional<std::int64_t> threads) {
  require_ready();
  if (k < 1)
    throw py::value_error("k must be at least 1, not " + std::to_string(k));
  const std::int64_t zone = exclude.value_or((shape_.window + 3) / 4);
  if (zone < 0)
    throw py::value_error("exclude must be at least 0, not " +
                          std::to_string(zone));
  Queries queries = read_queries(q);
  const std::vector<std::optional<double>> limits =
      limits_of(within, queries.rows, queries.two_dimensional);
  const std::int64_t places = std::min(k, shape_.count);
  const std::int32_t workers = static_cast<std::int32_t>(
      std::min<std::int64_t>(thread_count(threads), queries.rows));
  // The results, and what each thread's search keeps while it runs.
  ensure_arrays_fit(static_cast<double>(queries.rows) *
                        static_cast<double>(places) * 16.0 +
                    workers * search_bytes(shape_, tables_, k));
  std::vector<py::ssize_t> result_shape{static_cast<py::ssize_t>(queries.rows),
                                        static_cast<py::ssize_t>(places)};
  if (!queries.two_dimensional)
    result_shape.erase(result_shape.begin());
  py::array_t<double> distances(result_shape);
  py::array_t<std::int64_t> starts(result_shape);
  double *distance_out = distances.mutable_data();
  std::int64_t *start_out = starts.mutable_data();
  std::vector<SearchStats> stats(static_cast<std::size_t>(workers));
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(workers));
  {
    py::gil_scoped_release released;
    auto part = [&](std::int32_t worker) {
      try {
        for (std::int64_t row = worker; row < queries.rows; row += workers)
          search_index(shape_, tables_, ts_, queries.data + row * shape_.window,
                       k, zone, limits[static_cast<std::size_t>(row)], exact,
                       distance_out + row * places, start_out + row * places,
                       stats[static_cast<std::size_t>(worker)]);
      } catch (const std::bad_alloc &) {
        failures[static_cast<std::size_t>(worker)] =
            std::make_exception_ptr(allocation_error());
      } catch (...) {
        failures[static_cast<std::size_t>(worker)] = std::current_exception();
      }
    };
    std::vector<std::thread> helpers;
    for (std::int32_t worker = 1; worker < workers; ++worker) {
      try {
        helpers.emplace_back(part, worker);
      } catch (const std::system_error &) {
        part(worker);
      }
    }
    part(0);
    for (std::thread &helper : helpers)
      helper.join();
  }
  for (const std::exception_ptr &failure : failures)
    if (failure)
      std::rethrow_exception(failure);
  SearchStats total;
  for (const SearchStats &one : stats)
    total += one;
  {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    last_ = total;
  }
  return py::make_tuple(distances, starts);
}

void Index::save(const py::object &path) const {
  require_ready();
  save_index_files(path, shape_, ts_, tables_);
}

std::unique_ptr<Index> Index::load(const py::object &path, bool mmap,
                                   bool verify) {
  require_numpy("Index.load");
  IndexFiles files = load_index_files(path, mmap);
  auto index = std::unique_ptr<Index>(new Index());
  index->shape_ = files.index.header.shape;
  index->ts_ = files.index.series;
  index->tables_ = files.index.tables;
  index->memory_ = std::move(files.memory);
  if (verify)
    index->verify();
  index->ready_ = ready_mark;
  return index;
}

constexpr const char *index_doc =
    R"(Exact similarity search over the windows of one series.

Index(ts, window, stride=1, *, w=None) indexes every window of `window`
values of ts, window i starting at i * stride, with words of w symbols
(default min(16, window)). ts is a list or any numeric buffer
(a numpy.memmap too): a buffer of float64 is held (exported, so it cannot be
resized) for the index's lifetime and never copied, so its values must not
change while the index lives (copy it first if they will); anything else is
copied once into float64. A collection of equal-length series is the case
stride == window over their concatenation.

The distance between a query and a window: both are z-normalised as paa
z-normalises a window (mean, population standard deviation, subtraction
then division), the squared differences are added in ascending position
from 0.0, and the square root is taken. A window with no shape (flat, or
holding NaN or an infinity) has distance NaN, ranked after every number.

The index keeps a word of w 8-bit symbols per window (breakpoints at the
256 equiprobable quantiles of N(0, 1)), its window number (4 bytes), and
per leaf of 64 words the least and greatest symbol of each segment: w + 4
bytes per window and 2 w per leaf beyond the series (nbytes). The build and batches
of queries run on `threads` threads (default: every core) with the
interpreter released; Ctrl-C stops a build; progress=True reports it on
stderr.)";

constexpr const char *query_doc =
    R"(The k windows nearest to q, nearest first: (distances, starts).

distances is float64 and starts int64, each of min(k, len(index)) values;
ties go to the lower start. No two returned windows start within `exclude`
positions of each other (|a - b| <= exclude; default a quarter of the
window, rounded up; 0 allows all): each is the nearest window outside the
zones of those before it. A place no window can fill holds NaN and -1.
Each distance is bit for bit the defined one; the lower bounds only decide
what need not be computed. With within=r, only windows at distance <= r
are returned (a window with no shape never is), and the search prunes by r
from the start: r is an upper bound one already holds, from another index
or an earlier answer (for rows of queries, one r or one per row). With
exact=False only the part of the index around q's own word is searched:
faster, not always the nearest.

q holds `window` numbers (a ValueError otherwise, or if it is flat or holds
NaN or an infinity); a 2-D q answers one query per row, in rows of the
results, on `threads` threads.)";

} // namespace

void define_index(py::module_ &module) {
  py::class_<Index>(module, "Index", index_doc)
      .def(py::init<py::handle, std::int64_t, std::int64_t,
                    std::optional<std::int64_t>, std::optional<std::int64_t>,
                    bool>(),
           py::arg("ts"), py::arg("window"), py::arg("stride") = 1,
           py::kw_only(), py::arg("w") = py::none(),
           py::arg("threads") = py::none(), py::arg("progress") = false)
      .def("query", &Index::query, py::arg("q"), py::arg("k") = 1,
           py::kw_only(), py::arg("exclude") = py::none(),
           py::arg("within") = py::none(), py::arg("exact") = true,
           py::arg("threads") = py::none(), query_doc)
      .def("profile", &Index::profile, py::arg("q"),
           "The distance of q to every window, in window order: the brute "
           "force the queries agree with.")
      .def("save", &Index::save, py::arg("path"),
           R"(Saves the index into the directory `path` (made if missing;
FileExistsError if it is a file): header.json, a small versioned header
naming this save's generation G with the BLAKE2b-256 checksum of every
file, and plain .npy files named <table>-G.npy: series (the series itself,
float64), words (uint8, one row per ranked window), windows (uint32, their
window numbers), boxes (uint8, per leaf the least and greatest symbols),
irregular and shapeless (uint32 window numbers). Every file is new and
header.json is renamed into place last, so a load sees the index before or
after a save, whole, and a process that maps the old files keeps reading
them; files no header names any longer are removed. A save that fails
removes what it wrote.)")
      .def_static("load", &Index::load, py::arg("path"), py::kw_only(),
                  py::arg("mmap") = true, py::arg("verify") = false,
                  R"(Opens an index saved by save(). With mmap=True its
files are mapped, not read into memory. Every file is checked first: the
header, each file's type, byte order, layout, shape and size, its checksum
(accidental damage), and that the tables hold every window once. With
verify=True the tables are also built again from the series and must be
the same (a file crafted to match its checksums): about the cost of a
build. Anything else is ValueError("not a readable morvel.Index: ...").)")
      .def_property_readonly(
          "stats", &Index::stats,
          "What the last query computed (summed over its rows): leaf "
          "bounds, leaves searched, window bounds, exact distances begun "
          "and abandoned, beside the index's windows and leaves.")
      .def_property_readonly("window",
                             [](const Index &i) { return i.shape().window; })
      .def_property_readonly("stride",
                             [](const Index &i) { return i.shape().stride; })
      .def_property_readonly("w", [](const Index &i) { return i.shape().w; })
      .def_property_readonly("nbytes", &Index::nbytes,
                             "Bytes the index holds beyond the series.")
      .def("__len__", [](const Index &i) { return i.shape().count; });
  define_index_files(module.attr("Index"));
}

} // namespace morvel::binding
