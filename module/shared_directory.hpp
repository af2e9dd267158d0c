// A directory that other processes share: every name is resolved against
// the directory opened once, files are created exclusively, and a link at
// any name is refused, never followed.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace morvel::binding {

// Where the platform allows (every POSIX system), each name is resolved
// against the open directory and a link at it is refused by the system;
// elsewhere names are joined to the path, files are still created
// exclusively (which a link also refuses), and a link is refused before a
// file is opened for reading. Calls Python's os module: the caller holds
// the interpreter. Throws OSError as os does, unless said otherwise.
class SharedDirectory {
public:
  // Opens `path`, which must be a directory.
  explicit SharedDirectory(const pybind11::object &path);
  ~SharedDirectory();
  SharedDirectory(const SharedDirectory &) = delete;
  SharedDirectory &operator=(const SharedDirectory &) = delete;

  // A new file's descriptor, opened for writing: an existing name, a link
  // included, is FileExistsError.
  pybind11::object create(const std::string &name) const;

  // A regular file's descriptor, opened for reading, or nothing when `name`
  // is missing. Throws std::invalid_argument naming it when it is a link,
  // not a regular file, or cannot be opened.
  std::optional<pybind11::object> open(const std::string &name) const;

  // Renames `from` over `to` in one step (a link at `to` is replaced, not
  // followed).
  void replace(const std::string &from, const std::string &to) const;

  // Removes `name` if it can: one already gone, or held open where the
  // platform forbids removing it, stays.
  void remove(const std::string &name) const;

  // Whether `name` exists (a link counts, unfollowed).
  bool exists(const std::string &name) const;

  std::vector<std::string> names() const;

  // Makes the renames in it durable, where the platform can.
  void sync() const;

  // Makes a file written through `fd` durable.
  void sync_file(const pybind11::object &fd) const;

  // Closes a descriptor this class handed out.
  void close(const pybind11::object &fd) const;

  // A descriptor's size in bytes.
  std::int64_t size(const pybind11::object &fd) const;

private:
  pybind11::object flags(std::initializer_list<const char *> names) const;
  pybind11::object joined(const std::string &name) const;
  std::optional<pybind11::object> lstat(const std::string &name) const;
  template <typename... Arguments>
  pybind11::object call(const char *function, const std::string &name,
                        Arguments &&...arguments) const;

  pybind11::module_ os_;
  pybind11::object path_;
  pybind11::object fd_; // None where names are joined to the path
};

} // namespace morvel::binding
