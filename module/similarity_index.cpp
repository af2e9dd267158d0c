// morvel.Index: the series is converted once and held for the index's
// lifetime; the core builds and searches with the interpreter released; the
// tables are the core's own vectors after a build, or the files themselves
// (mapped or read) after a load, which checks everything it reads before
// the core sees it.
#include "similarity_index.hpp"

#include "index_docstrings.hpp"
#include "index_files.hpp"
#include "input_conversion.hpp"
#include "memory_guard.hpp"
#include "numpy_presence.hpp"
#include "query_arguments.hpp"
#include "thread_state.hpp"

#include <morvel/index.hpp>
#include <morvel/index_format.hpp>
#include <morvel/morvel.hpp>
#include <morvel/self_join.hpp>

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
#include <utility>
#include <vector>

namespace py = pybind11;

namespace morvel::binding {
namespace {

// A long call's progress: Ctrl-C checked between its steps, and, when
// shown, one line on stderr rewritten as the work done grows ("label: done
// of total windows"), ended when the work is. Called with the interpreter
// released.
class ProgressLine {
public:
  ProgressLine(std::string label, bool shown)
      : label_(std::move(label)), shown_(shown) {}

  void operator()(std::int64_t done, std::int64_t total) {
    py::gil_scoped_acquire acquired;
    if (PyErr_CheckSignals() != 0)
      throw py::error_already_set();
    const py::object stream = py::module_::import("sys").attr("stderr");
    if (!shown_ || stream.is_none() || total == 0)
      return;
    const std::int64_t percent = done * 100 / total;
    if (percent == percent_)
      return;
    percent_ = percent;
    open_ = done != total;
    stream.attr("write")("\r" + label_ + ": " + std::to_string(done) + " of " +
                         std::to_string(total) + " windows" +
                         (open_ ? "" : "\n"));
  }

  // Ends a line left open by work that stopped early (the rest proven
  // needless). Called with the interpreter held.
  void end() {
    const py::object stream = py::module_::import("sys").attr("stderr");
    if (open_ && !stream.is_none())
      stream.attr("write")("\n");
    open_ = false;
  }

private:
  std::string label_;
  bool shown_;
  std::int64_t percent_ = -1;
  bool open_ = false;
};

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
    ensure_arrays_fit(build_bytes(shape_));
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

  py::tuple matrix_profile(std::optional<std::int64_t> exclude,
                           std::optional<std::int64_t> threads, bool progress);
  py::tuple discords(std::int64_t k, std::optional<std::int64_t> exclude,
                     std::optional<std::int64_t> threads, bool progress);
  py::tuple motifs(std::int64_t k, std::optional<std::int64_t> exclude,
                   std::optional<std::int64_t> threads, bool progress);

  py::array profile(py::handle q) const {
    require_ready();
    Queries queries = read_queries(q, shape_.window);
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
    result["nearest"] = last.nearest;
    return result;
  }

  const IndexShape &shape() const {
    require_ready();
    return shape_;
  }
  std::int64_t nbytes() const {
    require_ready();
    return tables_bytes(shape_, tables_);
  }

private:
  Index() = default;

  // The tables of ts under shape_, built on `workers` threads with the
  // interpreter released; Ctrl-C stops the build between its steps.
  BuiltIndex built(const double *ts, std::int32_t workers,
                   bool progress) const {
    ProgressLine line("morvel.Index", progress);
    const BuildProgress report = [&](std::int64_t done) {
      line(done, shape_.count);
    };
    py::gil_scoped_release released;
    return build_index(shape_, ts, workers, report);
  }

  // Refuses tables that are not those the series determines.
  void verify() const {
    ensure_arrays_fit(build_bytes(shape_));
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

  // The exclusion zone of a self-join, given or the default, and its k.
  std::int64_t zone_of(const std::optional<std::int64_t> &exclude,
                       std::int64_t k) const {
    if (k < 1)
      throw py::value_error("k must be at least 1, not " + std::to_string(k));
    const std::int64_t zone =
        exclude.value_or(default_exclusion(shape_.window));
    if (zone < 0)
      throw py::value_error("exclude must be at least 0, not " +
                            std::to_string(zone));
    return zone;
  }

  // Runs a self-join with the interpreter released, after the memory guard
  // has weighed `bytes`; Ctrl-C stops it between its steps, and with
  // `progress` it reports on stderr as `name`.
  template <typename Join>
  void self_join(const char *name, bool progress, double bytes,
                 const Join &join) {
    ensure_arrays_fit(bytes);
    ProgressLine line(std::string("morvel.Index.") + name, progress);
    const JoinProgress report = [&](std::int64_t done, std::int64_t total) {
      line(done, total);
    };
    SearchStats total;
    {
      py::gil_scoped_release released;
      join(report, total);
    }
    line.end();
    std::lock_guard<std::mutex> lock(stats_mutex_);
    last_ = total;
  }

  static constexpr std::uint64_t ready_mark = 0x6d6f7276656c2e49;
  std::uint64_t ready_ = 0;

  IndexShape shape_;
  std::unique_ptr<InputSeries> series_; // a built index's series
  BuiltIndex built_;
  std::vector<py::object> memory_; // a loaded index's files
  const double *ts_ = nullptr;
  IndexTables tables_;
  mutable std::mutex stats_mutex_;
  SearchStats last_;
};

py::tuple Index::query(py::handle q, std::int64_t k,
                       std::optional<std::int64_t> exclude, py::handle within,
                       bool exact, std::optional<std::int64_t> threads) {
  require_ready();
  if (k < 1)
    throw py::value_error("k must be at least 1, not " + std::to_string(k));
  const std::int64_t zone = exclude.value_or(default_exclusion(shape_.window));
  if (zone < 0)
    throw py::value_error("exclude must be at least 0, not " +
                          std::to_string(zone));
  Queries queries = read_queries(q, shape_.window);
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

py::tuple Index::matrix_profile(std::optional<std::int64_t> exclude,
                                std::optional<std::int64_t> threads,
                                bool progress) {
  require_ready();
  const std::int64_t zone = zone_of(exclude, 1);
  const std::int32_t workers = thread_count(threads);
  const auto count = static_cast<py::ssize_t>(shape_.count);
  ensure_arrays_fit(16.0 * static_cast<double>(shape_.count));
  py::array_t<double> distances(count);
  py::array_t<std::int64_t> neighbours(count);
  double *distance_out = distances.mutable_data();
  std::int64_t *neighbour_out = neighbours.mutable_data();
  self_join("matrix_profile", progress,
            matrix_profile_bytes(shape_, tables_, workers),
            [&](const JoinProgress &report, SearchStats &stats) {
              morvel::matrix_profile(shape_, tables_, ts_, zone, workers,
                                     report, distance_out, neighbour_out,
                                     stats);
            });
  return py::make_tuple(distances, neighbours);
}

py::tuple Index::discords(std::int64_t k, std::optional<std::int64_t> exclude,
                          std::optional<std::int64_t> threads, bool progress) {
  require_ready();
  const std::int64_t zone = zone_of(exclude, k);
  const std::int32_t workers = thread_count(threads);
  const auto places =
      static_cast<py::ssize_t>(std::min<std::int64_t>(k, shape_.count));
  py::array_t<double> distances(places);
  py::array_t<std::int64_t> starts(places), neighbours(places);
  double *distance_out = distances.mutable_data();
  std::int64_t *start_out = starts.mutable_data();
  std::int64_t *neighbour_out = neighbours.mutable_data();
  self_join("discords", progress, discords_bytes(shape_, tables_, k, workers),
            [&](const JoinProgress &report, SearchStats &stats) {
              morvel::discords(shape_, tables_, ts_, k, zone, workers, report,
                               distance_out, start_out, neighbour_out, stats);
            });
  return py::make_tuple(distances, starts, neighbours);
}

py::tuple Index::motifs(std::int64_t k, std::optional<std::int64_t> exclude,
                        std::optional<std::int64_t> threads, bool progress) {
  require_ready();
  const std::int64_t zone = zone_of(exclude, k);
  const std::int32_t workers = thread_count(threads);
  const auto places =
      static_cast<py::ssize_t>(std::min<std::int64_t>(k, shape_.count));
  py::array_t<double> distances(places);
  py::array_t<std::int64_t> starts({places, py::ssize_t{2}});
  double *distance_out = distances.mutable_data();
  std::int64_t *start_out = starts.mutable_data();
  self_join("motifs", progress, motifs_bytes(shape_, tables_, k, workers),
            [&](const JoinProgress &report, SearchStats &stats) {
              morvel::motifs(shape_, tables_, ts_, k, zone, workers, report,
                             distance_out, start_out, stats);
            });
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
      .def("matrix_profile", &Index::matrix_profile, py::kw_only(),
           py::arg("exclude") = py::none(), py::arg("threads") = py::none(),
           py::arg("progress") = false, matrix_profile_doc)
      .def("discords", &Index::discords, py::arg("k") = 1, py::kw_only(),
           py::arg("exclude") = py::none(), py::arg("threads") = py::none(),
           py::arg("progress") = false, discords_doc)
      .def("motifs", &Index::motifs, py::arg("k") = 1, py::kw_only(),
           py::arg("exclude") = py::none(), py::arg("threads") = py::none(),
           py::arg("progress") = false, motifs_doc)
      .def("profile", &Index::profile, py::arg("q"),
           "The distance of q to every window, in window order: the brute "
           "force the queries agree with.")
      .def("save", &Index::save, py::arg("path"), save_doc)
      .def_static("load", &Index::load, py::arg("path"), py::kw_only(),
                  py::arg("mmap") = true, py::arg("verify") = false, load_doc)
      .def_property_readonly(
          "stats", &Index::stats,
          "What the last query computed (summed over its rows): leaf "
          "bounds, leaves searched, window bounds, exact distances begun "
          "and abandoned, the windows whose nearest was found (after a "
          "self-join), beside the index's windows and leaves.")
      .def_property_readonly("window",
                             [](const Index &i) { return i.shape().window; })
      .def_property_readonly("stride",
                             [](const Index &i) { return i.shape().stride; })
      .def_property_readonly("w", [](const Index &i) { return i.shape().w; })
      .def_property_readonly(
          "exclude",
          [](const Index &i) { return default_exclusion(i.shape().window); },
          "The exclusion zone query takes by default: a quarter of the "
          "window, rounded up.")
      .def_property_readonly("nbytes", &Index::nbytes,
                             "Bytes the index holds beyond the series.")
      .def("__len__", [](const Index &i) { return i.shape().count; });
  define_index_files(module.attr("Index"));
}

} // namespace morvel::binding
