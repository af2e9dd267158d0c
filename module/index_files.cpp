// The files of a saved index in a directory that readers and other saves
// share. header.json names a generation, the index's shape and a checksum
// of each file; the files of generation G are <table>-G.npy. A save writes
// a new generation beside the old one, never touching a file that exists,
// and replaces header.json last by one rename: a load that read the old
// header finds the old files whole (or, once they are gone, reads the
// header again), and a reader that maps them keeps them, for nothing
// truncates or rewrites them. What the bytes are is the core's
// (morvel/index_format.hpp); where they lie, and when, is this file's.
#include "index_files.hpp"

#include "memory_guard.hpp"
#include "shared_directory.hpp"

#include <morvel/morvel.hpp>

#include <pybind11/numpy.h>

#include <array>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace py = pybind11;

namespace morvel::binding {
namespace {

// Times a load starts again because a save replaced the header under it.
constexpr int load_attempts = 64;

// The generation a file of a save belongs to ("words-G.npy", its scratch
// header ".header-G.json"), if it is one.
std::optional<std::string> generation_of(const std::string &name) {
  constexpr std::size_t digits = index_generation_digits;
  for (const std::string table : index_table_names) {
    const std::string head = table + "-";
    if (name.size() == head.size() + digits + 4 &&
        name.compare(0, head.size(), head) == 0 &&
        name.compare(name.size() - 4, 4, ".npy") == 0 &&
        is_generation(std::string_view(name).substr(head.size(), digits)))
      return name.substr(head.size(), digits);
  }
  const std::string head = ".header-";
  if (name.size() == head.size() + digits + 5 &&
      name.compare(0, head.size(), head) == 0 &&
      name.compare(name.size() - 5, 5, ".json") == 0 &&
      is_generation(std::string_view(name).substr(head.size(), digits)))
    return name.substr(head.size(), digits);
  return std::nullopt;
}

// Files of version 1 and the scratch names its saves used.
bool of_version_one(const std::string &name) {
  if (name == ".partial-header.json")
    return true;
  for (const std::string table : index_table_names)
    if (name == table + ".npy" || name == ".partial-" + table + ".npy")
      return true;
  return false;
}

// A regular file of the index opened for reading, or nothing when missing;
// a link or anything but a regular file is damage.
std::optional<py::object> opened(const SharedDirectory &directory,
                                 const std::string &name) {
  try {
    return directory.open(name);
  } catch (const std::invalid_argument &error) {
    throw unreadable_index(error.what());
  }
}

// Bytes a file is written from: Python's own, or memory the caller keeps
// alive until the write returns.
struct Part {
  const void *data;
  std::size_t size;
};

// Writes `parts` to the new file `name`, noted in `created` once it exists,
// made durable before it is closed; returns its checksum.
std::string write_file(const SharedDirectory &directory,
                       const std::string &name, const std::vector<Part> &parts,
                       std::vector<std::string> &created) {
  const py::object fd = directory.create(name);
  created.push_back(name);
  const py::object file = py::module_::import("io").attr("open")(fd, "wb");
  Blake2b256 hash;
  try {
    for (const Part &part : parts) {
      {
        py::gil_scoped_release released;
        hash.update(part.data, part.size);
      }
      file.attr("write")(py::memoryview::from_memory(
          part.data, static_cast<py::ssize_t>(part.size)));
    }
    file.attr("flush")();
    directory.sync_file(file.attr("fileno")());
  } catch (...) {
    try {
      file.attr("close")();
    } catch (py::error_already_set &) {
    }
    throw;
  }
  file.attr("close")();
  return hash.hex_digest();
}

// ---- Loading ----------------------------------------------------------------

// header.json's first bytes, no more than a header may hold and one, or
// nothing when it is missing.
std::optional<std::string> header_bytes(const SharedDirectory &directory) {
  const std::optional<py::object> fd = opened(directory, "header.json");
  if (!fd)
    return std::nullopt;
  const py::object file = py::module_::import("io").attr("open")(*fd, "rb");
  py::bytes raw;
  try {
    raw = file.attr("read")(index_header_limit + 1);
  } catch (...) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
  return static_cast<std::string>(raw);
}

// Descriptors opened for a load, closed however it ends.
struct OpenFiles {
  const SharedDirectory &directory;
  std::vector<py::object> fds;
  ~OpenFiles() {
    for (const py::object &fd : fds)
      if (!fd.is_none())
        directory.close(fd);
  }
};

// The file behind `fd` (of `size` bytes), mapped or read, as an array of
// bytes that keeps its memory.
py::array_t<std::uint8_t> file_bytes(const py::object &fd, std::int64_t size,
                                     bool mmap, const std::string &name) {
  if (mmap) {
    const py::module_ mapping = py::module_::import("mmap");
    py::object mapped;
    try {
      mapped = mapping.attr("mmap")(
          fd, 0, py::arg("access") = mapping.attr("ACCESS_READ"));
    } catch (py::error_already_set &error) {
      // No address space left for it (a limit on it, say).
      if (error.matches(PyExc_OSError) &&
          error.value().attr("errno").equal(
              py::module_::import("errno").attr("ENOMEM")))
        throw allocation_error();
      throw;
    }
    return py::module_::import("numpy").attr("frombuffer")(
        mapped, py::dtype::of<std::uint8_t>());
  }
  py::array_t<std::uint8_t> buffer(size);
  const py::object file = py::module_::import("io").attr("FileIO")(
      fd, "rb", py::arg("closefd") = false);
  std::int64_t got = 0;
  while (got < size) {
    const auto read = file.attr("readinto")(buffer[py::slice(got, size, 1)])
                          .cast<std::int64_t>();
    if (read <= 0)
      throw unreadable_index(name + " is truncated");
    got += read;
  }
  return buffer;
}

IndexFiles load_generation(const SharedDirectory &directory,
                           const std::string &raw, const IndexHeader &header,
                           bool mmap) {
  OpenFiles open{directory, {}};
  std::vector<std::string> names;
  std::vector<std::int64_t> sizes;
  double bytes = 0.0;
  for (std::size_t table = 0; table < index_table_count; ++table) {
    names.push_back(index_table_file(table, header.version, header.generation));
    const std::optional<py::object> fd = opened(directory, names.back());
    if (!fd)
      throw unreadable_index("it has no " + names.back());
    open.fds.push_back(*fd);
    sizes.push_back(directory.size(*fd));
    bytes += static_cast<double>(sizes.back());
  }
  if (!mmap)
    ensure_arrays_fit(bytes);
  IndexFiles files;
  std::array<FileBytes, index_table_count> contents;
  for (std::size_t i = 0; i < index_table_count; ++i) {
    // An empty file cannot be mapped; the core refuses it as it is.
    if (sizes[i] > 0) {
      const py::array_t<std::uint8_t> content =
          file_bytes(open.fds[i], sizes[i], mmap, names[i]);
      contents[i] = {content.data(), static_cast<std::size_t>(sizes[i])};
      files.memory.push_back(content);
    }
    directory.close(open.fds[i]);
    open.fds[i] = py::none();
  }
  {
    py::gil_scoped_release released;
    files.index = load_index(raw, contents);
  }
  return files;
}

// The version of the index in the directory, 0 when there is none.
int saved_version(const SharedDirectory &directory) {
  try {
    const std::optional<std::string> raw = header_bytes(directory);
    return raw ? parse_index_header(*raw).version : 0;
  } catch (const unreadable_index &) {
    return 0;
  }
}

// Removes the files of every generation that the header does not name and
// no save in progress (its marker present) still writes, and those of
// version 1 where the directory held such an index before this save.
// The names are listed before the markers are asked and the markers before
// the header is read: a save that lists a generation either still holds its
// marker then or has renamed its header already.
void remove_unnamed(const SharedDirectory &directory, bool version_one) {
  const std::vector<std::string> names = directory.names();
  std::set<std::string> live;
  for (const std::string &name : names)
    if (const auto generation = generation_of(name))
      if (live.count(*generation) == 0 &&
          directory.exists(".saving-" + *generation))
        live.insert(*generation);
  std::string current;
  try {
    const std::optional<std::string> raw = header_bytes(directory);
    if (!raw)
      return;
    current = parse_index_header(*raw).generation;
  } catch (const unreadable_index &) {
    return; // a header this save cannot read names what it names: keep all
  }
  for (const std::string &name : names) {
    const auto generation = generation_of(name);
    if (generation ? *generation != current && live.count(*generation) == 0
                   : version_one && of_version_one(name))
      directory.remove(name);
  }
}

} // namespace

void define_index_files(py::handle index_class) {
  py::register_local_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure)
        std::rethrow_exception(failure);
    } catch (const unreadable_index &error) {
      const std::string message =
          std::string("not a readable morvel.Index: ") + error.what();
      py::set_error(PyExc_ValueError, message.c_str());
    }
  });
  // morvel_dask reads no more of a header than a load does.
  index_class.attr("_header_limit") = index_header_limit;
}

void save_index_files(const py::object &path, const IndexShape &shape,
                      const double *series, const IndexTables &tables) {
  const py::module_ os = py::module_::import("os");
  os.attr("makedirs")(os.attr("fspath")(path), py::arg("exist_ok") = true);
  const SharedDirectory directory(path);
  const bool version_one = saved_version(directory) == 1;
  const std::string generation = os.attr("urandom")(index_generation_digits / 2)
                                     .attr("hex")()
                                     .cast<std::string>();
  const std::string marker = ".saving-" + generation;
  std::vector<std::string> created;
  bool committed = false;
  try {
    const py::object fd = directory.create(marker);
    created.push_back(marker);
    directory.close(fd);
    std::array<std::string, index_table_count> checksums;
    const auto layouts = index_table_layouts(shape, series, tables);
    for (std::size_t table = 0; table < index_table_count; ++table) {
      const TableLayout &layout = layouts[table];
      const std::string head = compose_npy_header(layout.element, layout.shape);
      std::vector<Part> parts{{head.data(), head.size()}};
      if (layout.bytes > 0)
        parts.push_back({layout.data, layout.bytes});
      checksums[table] = write_file(
          directory, index_table_file(table, 2, generation), parts, created);
    }
    const std::string text = compose_index_header(shape, generation, checksums);
    const std::string scratch = ".header-" + generation + ".json";
    write_file(directory, scratch, {{text.data(), text.size()}}, created);
    directory.replace(scratch, "header.json");
    committed = true;
  } catch (...) {
    if (!committed)
      for (auto name = created.rbegin(); name != created.rend(); ++name)
        directory.remove(*name);
    throw;
  }
  directory.sync();
  directory.remove(marker);
  remove_unnamed(directory, version_one);
}

IndexFiles load_index_files(const py::object &path, bool mmap) {
  std::optional<SharedDirectory> found;
  try {
    found.emplace(path);
  } catch (py::error_already_set &error) {
    if (!error.matches(PyExc_FileNotFoundError) &&
        !error.matches(PyExc_NotADirectoryError))
      throw;
    throw unreadable_index("it has no header.json");
  }
  const SharedDirectory &directory = *found;
  for (int attempt = 1;; ++attempt) {
    const std::optional<std::string> raw = header_bytes(directory);
    if (!raw)
      throw unreadable_index("it has no header.json");
    const IndexHeader header = parse_index_header(*raw);
    try {
      return load_generation(directory, *raw, header, mmap);
    } catch (const unreadable_index &) {
      // Files missing or unlike their header because a save replaced the
      // header since it was read: read the index the header names now.
      if (attempt < load_attempts) {
        const std::optional<std::string> again = header_bytes(directory);
        if (!again || *again != *raw)
          continue;
      }
      throw;
    }
  }
}

} // namespace morvel::binding
