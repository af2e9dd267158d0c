// Python's os module does the calls, so that every platform gets its own
// spelling of them; the choice between names relative to the directory and
// joined paths is made once, when the directory is opened.
#include "shared_directory.hpp"

#include <pybind11/stl.h>

#include <stdexcept>
#include <utility>

namespace py = pybind11;

namespace morvel::binding {

SharedDirectory::SharedDirectory(const py::object &path)
    : os_(py::module_::import("os")), path_(os_.attr("fspath")(path)),
      fd_(py::none()) {
  const py::object relative = os_.attr("supports_dir_fd");
  bool relative_calls = os_.attr("supports_fd").contains(os_.attr("listdir"));
  for (const char *call : {"open", "stat", "unlink", "rename"})
    relative_calls = relative_calls && relative.contains(os_.attr(call));
  if (relative_calls)
    fd_ = os_.attr("open")(path_,
                           flags({"O_RDONLY", "O_DIRECTORY", "O_CLOEXEC"}));
}

SharedDirectory::~SharedDirectory() {
  if (!fd_.is_none())
    close(fd_);
}

py::object SharedDirectory::create(const std::string &name) const {
  return call("open", name,
              flags({"O_WRONLY", "O_CREAT", "O_EXCL", "O_NOFOLLOW", "O_CLOEXEC",
                     "O_BINARY"}),
              0644);
}

std::optional<py::object> SharedDirectory::open(const std::string &name) const {
  const std::optional<py::object> status = lstat(name);
  if (!status)
    return std::nullopt;
  const py::module_ stat = py::module_::import("stat");
  const auto regular = [&](const py::object &mode) {
    return stat.attr("S_ISREG")(mode).cast<bool>();
  };
  if (stat.attr("S_ISLNK")(status->attr("st_mode")).cast<bool>())
    throw std::invalid_argument(name + " is a link");
  if (!regular(status->attr("st_mode")))
    throw std::invalid_argument(name + " is not a file");
  py::object fd;
  try {
    fd = call("open", name,
              // Not blocking: a fifo swapped in since the lstat.
              flags({"O_RDONLY", "O_NOFOLLOW", "O_NONBLOCK", "O_CLOEXEC",
                     "O_BINARY"}));
  } catch (py::error_already_set &error) {
    if (error.matches(PyExc_FileNotFoundError))
      return std::nullopt; // removed since
    if (!error.matches(PyExc_OSError))
      throw;
    throw std::invalid_argument(name + " cannot be opened: " +
                                py::str(error.value()).cast<std::string>());
  }
  if (!regular(os_.attr("fstat")(fd).attr("st_mode"))) {
    close(fd);
    throw std::invalid_argument(name + " is not a file");
  }
  return fd;
}

void SharedDirectory::replace(const std::string &from,
                              const std::string &to) const {
  if (fd_.is_none())
    os_.attr("replace")(joined(from), joined(to));
  else
    os_.attr("rename")(from, to, py::arg("src_dir_fd") = fd_,
                       py::arg("dst_dir_fd") = fd_);
}

void SharedDirectory::remove(const std::string &name) const {
  try {
    call("unlink", name);
  } catch (py::error_already_set &error) {
    if (!error.matches(PyExc_OSError))
      throw;
  }
}

bool SharedDirectory::exists(const std::string &name) const {
  return lstat(name).has_value();
}

std::vector<std::string> SharedDirectory::names() const {
  return os_.attr("listdir")(fd_.is_none() ? path_ : fd_)
      .cast<std::vector<std::string>>();
}

void SharedDirectory::sync() const {
  if (fd_.is_none())
    return;
  try {
    os_.attr("fsync")(fd_);
  } catch (py::error_already_set &error) {
    if (!error.matches(PyExc_OSError)) // some file systems refuse
      throw;
  }
}

void SharedDirectory::sync_file(const py::object &fd) const {
  os_.attr("fsync")(fd);
}

void SharedDirectory::close(const py::object &fd) const {
  try {
    os_.attr("close")(fd);
  } catch (py::error_already_set &) {
  }
}

std::int64_t SharedDirectory::size(const py::object &fd) const {
  return os_.attr("fstat")(fd).attr("st_size").cast<std::int64_t>();
}

py::object
SharedDirectory::flags(std::initializer_list<const char *> names) const {
  long value = 0;
  for (const char *name : names)
    value |= py::getattr(os_, name, py::int_(0)).cast<long>();
  return py::int_(value);
}

py::object SharedDirectory::joined(const std::string &name) const {
  return os_.attr("path").attr("join")(path_, name);
}

template <typename... Arguments>
py::object SharedDirectory::call(const char *function, const std::string &name,
                                 Arguments &&...arguments) const {
  if (fd_.is_none())
    return os_.attr(function)(joined(name),
                              std::forward<Arguments>(arguments)...);
  return os_.attr(function)(name, std::forward<Arguments>(arguments)...,
                            py::arg("dir_fd") = fd_);
}

std::optional<py::object>
SharedDirectory::lstat(const std::string &name) const {
  try {
    if (fd_.is_none())
      return os_.attr("lstat")(joined(name));
    return os_.attr("stat")(name, py::arg("dir_fd") = fd_,
                            py::arg("follow_symlinks") = false);
  } catch (py::error_already_set &error) {
    if (error.matches(PyExc_FileNotFoundError))
      return std::nullopt;
    throw;
  }
}

} // namespace morvel::binding
