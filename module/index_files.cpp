// The files of a saved index. header.json names a generation, the index's
// shape and a checksum of each file; the files of generation G are
// <table>-G.npy, plain .npy files. A save writes a new generation beside
// the old one, never touching a file that exists, and replaces header.json
// last by one rename: a load that read the old header finds the old files
// whole (or, once they are gone, reads the header again), and a reader that
// maps them keeps them, for nothing truncates or rewrites them. Version 1
// (fixed names, a 64-bit checksum of each array's bytes) is still read.
#include "index_files.hpp"

#include "memory_guard.hpp"
#include "shared_directory.hpp"

#include <morvel/morvel.hpp>

#include <pybind11/stl.h>

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace py = pybind11;

namespace morvel::binding {

py::value_error damaged(const std::string &why) {
  return py::value_error("not a readable morvel.Index: " + why);
}

namespace {

constexpr const char *format_name = "morvel.Index";
constexpr std::int64_t format_version = 2;
constexpr const char *checksum_name = "blake2b-256";
constexpr const char *table_names[index_file_count] = {
    "series", "words", "windows", "boxes", "irregular", "shapeless"};
// A header larger than this is damage, not an index.
constexpr py::ssize_t header_limit = 1 << 16;
// Times a load starts again because a save replaced the header under it.
constexpr int load_attempts = 64;

bool is_hex(const std::string &text, std::size_t length) {
  if (text.size() != length)
    return false;
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  return true;
}

bool begins(const std::string &text, const std::string &head) {
  return text.compare(0, head.size(), head) == 0;
}

bool ends(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string table_file(const std::string &table, int version,
                       const std::string &generation) {
  return version == 1 ? table + ".npy" : table + "-" + generation + ".npy";
}

// The generation a file of a save belongs to ("words-G.npy", its scratch
// header ".header-G.json"), if it is one.
std::optional<std::string> generation_of(const std::string &name) {
  constexpr std::size_t digits = 32;
  for (const std::string table : table_names) {
    const std::string head = table + "-";
    if (name.size() == head.size() + digits + 4 && begins(name, head) &&
        ends(name, ".npy") && is_hex(name.substr(head.size(), digits), 32))
      return name.substr(head.size(), digits);
  }
  const std::string head = ".header-";
  if (name.size() == head.size() + digits + 5 && begins(name, head) &&
      ends(name, ".json") && is_hex(name.substr(head.size(), digits), 32))
    return name.substr(head.size(), digits);
  return std::nullopt;
}

// Files of version 1 and the scratch names its saves used.
bool of_version_one(const std::string &name) {
  if (name == ".partial-header.json")
    return true;
  for (const std::string table : table_names)
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
    throw damaged(error.what());
  }
}

// Writes `parts` (bytes, or arrays of bytes) to the new file `name`, noted
// in `created` once it exists, made durable before it is closed; returns its
// checksum.
std::string write_file(const SharedDirectory &directory,
                       const std::string &name,
                       const std::vector<py::object> &parts,
                       std::vector<std::string> &created) {
  const py::object fd = directory.create(name);
  created.push_back(name);
  const py::object file = py::module_::import("io").attr("open")(fd, "wb");
  const py::object hash = py::module_::import("hashlib").attr("blake2b")(
      py::arg("digest_size") = 32);
  try {
    for (const py::object &part : parts) {
      file.attr("write")(part);
      hash.attr("update")(part);
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
  return hash.attr("hexdigest")().cast<std::string>();
}

// An array as the bytes of a .npy file of format 1.0: its header, then its
// values.
std::vector<py::object> npy_parts(const py::array &array) {
  const py::module_ format = py::module_::import("numpy.lib.format");
  const py::object header = py::module_::import("io").attr("BytesIO")();
  format.attr("write_array_header_1_0")(
      header, format.attr("header_data_from_array_1_0")(array));
  std::vector<py::object> parts{header.attr("getvalue")()};
  if (array.size() > 0)
    parts.push_back(
        array.attr("reshape")(-1).attr("view")(py::dtype::of<std::uint8_t>()));
  return parts;
}

// ---- Loading ----------------------------------------------------------------

struct Header {
  int version = 0;
  IndexShape shape;
  std::string generation;
  py::dict checksums;
};

// header.json's bytes, or nothing when it is missing.
std::optional<py::bytes> header_bytes(const SharedDirectory &directory) {
  const std::optional<py::object> fd = opened(directory, "header.json");
  if (!fd)
    return std::nullopt;
  const py::object file = py::module_::import("io").attr("open")(*fd, "rb");
  py::bytes raw;
  try {
    raw = file.attr("read")(header_limit + 1);
  } catch (...) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
  if (py::len(raw) > static_cast<std::size_t>(header_limit))
    throw damaged("its header is too large");
  return raw;
}

// A header's integer field, refused unless a plain int in [low, high].
std::int64_t header_integer(const py::dict &header, const char *key,
                            std::int64_t low, std::int64_t high) {
  const auto refuse = [&](const std::string &why) {
    return damaged(std::string("its header's ") + key + " " + why);
  };
  if (!header.contains(key))
    throw refuse("is missing");
  const py::object value = header[key];
  if (!PyLong_CheckExact(value.ptr()))
    throw refuse("is not an integer");
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0 || number < low || number > high)
    throw refuse("is out of range");
  return number;
}

std::string header_text(const py::dict &header, const char *key) {
  const auto refuse = [&] {
    return damaged(std::string("its header's ") + key +
                   " is missing or not text");
  };
  if (!header.contains(key) || !py::isinstance<py::str>(header[key]))
    throw refuse();
  try {
    return header[key].cast<std::string>();
  } catch (const py::cast_error &) { // not UTF-8: a lone surrogate
    throw refuse();
  }
}

Header parse_header(const py::bytes &raw) {
  py::object parsed;
  try {
    parsed = py::module_::import("json").attr("loads")(raw);
  } catch (py::error_already_set &error) {
    // Nesting deeper than the thread's stack allows is RecursionError.
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError) &&
        !error.matches(PyExc_RecursionError))
      throw;
    throw damaged("its header is not JSON");
  }
  if (!py::isinstance<py::dict>(parsed))
    throw damaged("its header is not an object");
  const py::dict fields = parsed;
  if (!fields.contains("format") ||
      !py::str(format_name).equal(fields["format"]))
    throw damaged("its header names another format");
  Header header;
  const std::int64_t version =
      header_integer(fields, "version", 0, std::int64_t{1} << 40);
  if (version < 1 || version > format_version)
    throw damaged("it is version " + std::to_string(version) +
                  ", and this morvel reads versions 1 to " +
                  std::to_string(format_version));
  header.version = static_cast<int>(version);
  if (header.version >= 2) {
    header.generation = header_text(fields, "generation");
    if (!is_hex(header.generation, 32))
      throw damaged("its header's generation is not 32 hexadecimal digits");
    if (header_text(fields, "checksum") != checksum_name)
      throw damaged(std::string("its checksums are not ") + checksum_name);
  }
  constexpr std::int64_t large = std::int64_t{1} << 62;
  const std::int64_t length = header_integer(fields, "length", 0, large);
  const std::int64_t window = header_integer(fields, "window", 0, large);
  const std::int64_t stride = header_integer(fields, "stride", 0, large);
  const std::int64_t w = header_integer(fields, "w", 0, large);
  if (header_integer(fields, "leaf", 0, large) != index_leaf_size)
    throw damaged("its leaves are not of " + std::to_string(index_leaf_size) +
                  " windows");
  if (!fields.contains("checksums") ||
      !py::isinstance<py::dict>(fields["checksums"]))
    throw damaged("its header has no checksums");
  header.checksums = fields["checksums"];
  try {
    header.shape = plan_index(length, window, stride, w);
  } catch (const std::invalid_argument &error) {
    throw damaged(std::string("its shape is impossible: ") + error.what());
  }
  return header;
}

std::string hex(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, value);
  return text;
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

// What a table's .npy file must hold.
struct TableKind {
  py::dtype dtype;
  py::ssize_t dimensions;
};

TableKind table_kind(std::size_t table) {
  if (table == 0)
    return {py::dtype::of<double>(), 1};
  if (table == 1)
    return {py::dtype::of<std::uint8_t>(), 2};
  if (table == 3)
    return {py::dtype::of<std::uint8_t>(), 3};
  return {py::dtype::of<std::uint32_t>(), 1};
}

// The file behind `fd` (of `size` bytes), mapped or read.
py::object file_bytes(const py::object &fd, std::int64_t size, bool mmap,
                      const std::string &name) {
  if (mmap) {
    const py::module_ mapping = py::module_::import("mmap");
    try {
      return mapping.attr("mmap")(
          fd, 0, py::arg("access") = mapping.attr("ACCESS_READ"));
    } catch (py::error_already_set &error) {
      // No address space left for it (a limit on it, say).
      if (error.matches(PyExc_OSError) &&
          error.value().attr("errno").equal(
              py::module_::import("errno").attr("ENOMEM")))
        throw allocation_error();
      throw;
    }
  }
  py::array_t<std::uint8_t> buffer(size);
  const py::object file = py::module_::import("io").attr("FileIO")(
      fd, "rb", py::arg("closefd") = false);
  std::int64_t got = 0;
  while (got < size) {
    const auto read = file.attr("readinto")(buffer[py::slice(got, size, 1)])
                          .cast<std::int64_t>();
    if (read <= 0)
      throw damaged(name + " is truncated");
    got += read;
  }
  return buffer;
}

// The array a .npy file's bytes hold, checked against what the table must
// be: type, byte order, layout, dimensions, alignment, and a size that is
// exactly its header and its values.
py::array npy_array(const py::object &bytes, std::int64_t size,
                    const TableKind &kind, const std::string &name) {
  const py::object head =
      py::module_::import("builtins")
          .attr("memoryview")(bytes)[py::slice(
              0, std::min<std::int64_t>(size, header_limit), 1)]
          .attr("tobytes")();
  const py::module_ format = py::module_::import("numpy.lib.format");
  const py::object stream = py::module_::import("io").attr("BytesIO")(head);
  py::tuple described;
  try {
    const py::tuple version = format.attr("read_magic")(stream);
    if (version[0].cast<int>() == 1)
      described = format.attr("read_array_header_1_0")(stream);
    else if (version[0].cast<int>() == 2)
      described = format.attr("read_array_header_2_0")(stream);
    else
      throw damaged(name + " is of an .npy version this morvel does not read");
  } catch (py::error_already_set &error) {
    if (!error.matches(PyExc_Exception) || error.matches(PyExc_MemoryError))
      throw;
    throw damaged(name + " cannot be read as an array");
  }
  const py::tuple shape = described[0];
  const py::dtype dtype = described[2];
  for (const py::handle extent : shape) {
    int overflow = 0;
    const long long value =
        PyLong_CheckExact(extent.ptr())
            ? PyLong_AsLongLongAndOverflow(extent.ptr(), &overflow)
            : -1;
    if (overflow < 0 || (overflow == 0 && value < 0))
      throw damaged(name + " is not of the type and layout it must be");
  }
  if (!dtype.equal(kind.dtype) ||
      dtype.attr("byteorder").cast<std::string>() == ">" ||
      described[1].cast<bool>() ||
      py::len(shape) != static_cast<std::size_t>(kind.dimensions))
    throw damaged(name + " is not of the type and layout it must be");
  const py::object offset = stream.attr("tell")();
  const py::object count = py::module_::import("math").attr("prod")(shape);
  const py::object total = count * py::int_(dtype.itemsize()) + offset;
  if (!total.equal(py::int_(size)))
    throw damaged(name + " is not of the size its header gives");
  const py::array array =
      py::module_::import("numpy")
          .attr("frombuffer")(bytes, py::arg("dtype") = dtype,
                              py::arg("count") = count,
                              py::arg("offset") = offset)
          .attr("reshape")(shape);
  if (!array.attr("flags").attr("aligned").cast<bool>())
    throw damaged(name + " is not aligned");
  return array;
}

IndexFiles load_generation(const SharedDirectory &directory,
                           const Header &header, bool mmap) {
  OpenFiles open{directory, {}};
  std::vector<std::string> names;
  std::vector<std::int64_t> sizes;
  double bytes = 0.0;
  for (const std::string table : table_names) {
    names.push_back(table_file(table, header.version, header.generation));
    const std::optional<py::object> fd = opened(directory, names.back());
    if (!fd)
      throw damaged("it has no " + names.back());
    open.fds.push_back(*fd);
    sizes.push_back(directory.size(*fd));
    bytes += static_cast<double>(sizes.back());
  }
  if (!mmap)
    ensure_arrays_fit(bytes);
  IndexFiles files{header.shape, {}};
  for (std::size_t i = 0; i < index_file_count; ++i) {
    const std::string &name = names[i];
    if (sizes[i] < 16)
      throw damaged(name + " cannot be read as an array");
    const py::object content = file_bytes(open.fds[i], sizes[i], mmap, name);
    directory.close(open.fds[i]);
    open.fds[i] = py::none();
    const char *table = table_names[i];
    if (!header.checksums.contains(table) ||
        !py::isinstance<py::str>(header.checksums[table]))
      throw damaged(std::string("its header has no checksum of ") + name);
    const py::object expected = header.checksums[table];
    if (header.version >= 2) {
      const py::object sum =
          py::module_::import("hashlib")
              .attr("blake2b")(content, py::arg("digest_size") = 32)
              .attr("hexdigest")();
      if (!sum.equal(expected))
        throw damaged(name + " is damaged: its checksum does not match");
    }
    const py::array array = npy_array(content, sizes[i], table_kind(i), name);
    if (header.version == 1) {
      std::uint64_t sum;
      {
        const void *data = array.data();
        const auto size = static_cast<std::size_t>(array.nbytes());
        py::gil_scoped_release released;
        sum = checksum(data, size);
      }
      if (!py::str(hex(sum)).equal(expected))
        throw damaged(name + " is damaged: its checksum does not match");
    }
    files.arrays[i] = array;
  }
  const IndexShape &shape = header.shape;
  const auto extent = [&](std::size_t i, py::ssize_t axis) {
    return static_cast<std::int64_t>(files.arrays[i].shape(axis));
  };
  if (extent(0, 0) != shape.length)
    throw damaged(names[0] + " is not of the length the header gives");
  if (extent(1, 1) != shape.w || extent(3, 1) != 2 || extent(3, 2) != shape.w)
    throw damaged("its words or boxes are not of the shape the header gives");
  if (extent(1, 0) != extent(2, 0) || extent(3, 0) != leaf_count(extent(1, 0)))
    throw damaged("its tables disagree on the number of words");
  return files;
}

// The version of the index in the directory, 0 when there is none.
int saved_version(const SharedDirectory &directory) {
  try {
    const std::optional<py::bytes> raw = header_bytes(directory);
    return raw ? parse_header(*raw).version : 0;
  } catch (const py::value_error &) {
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
    const std::optional<py::bytes> raw = header_bytes(directory);
    if (!raw)
      return;
    current = parse_header(*raw).generation;
  } catch (const py::value_error &) {
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

void save_index_files(const py::object &path, const IndexShape &shape,
                      const IndexArrays &arrays) {
  const py::module_ os = py::module_::import("os");
  os.attr("makedirs")(os.attr("fspath")(path), py::arg("exist_ok") = true);
  const SharedDirectory directory(path);
  const bool version_one = saved_version(directory) == 1;
  const std::string generation =
      os.attr("urandom")(16).attr("hex")().cast<std::string>();
  const std::string marker = ".saving-" + generation;
  std::vector<std::string> created;
  bool committed = false;
  try {
    const py::object fd = directory.create(marker);
    created.push_back(marker);
    directory.close(fd);
    py::dict checksums;
    for (std::size_t i = 0; i < index_file_count; ++i) {
      const std::string name = table_file(table_names[i], 2, generation);
      checksums[table_names[i]] =
          write_file(directory, name, npy_parts(arrays[i]), created);
    }
    py::dict header;
    header["format"] = format_name;
    header["version"] = format_version;
    header["generation"] = generation;
    header["length"] = shape.length;
    header["window"] = shape.window;
    header["stride"] = shape.stride;
    header["w"] = shape.w;
    header["leaf"] = index_leaf_size;
    header["checksum"] = checksum_name;
    header["checksums"] = checksums;
    const py::object text = py::module_::import("json").attr("dumps")(
        header, py::arg("indent") = 1, py::arg("sort_keys") = true);
    const std::string scratch = ".header-" + generation + ".json";
    write_file(directory, scratch, {text.attr("encode")("utf-8")}, created);
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
    throw damaged("it has no header.json");
  }
  const SharedDirectory &directory = *found;
  for (int attempt = 1;; ++attempt) {
    const std::optional<py::bytes> raw = header_bytes(directory);
    if (!raw)
      throw damaged("it has no header.json");
    const Header header = parse_header(*raw);
    try {
      return load_generation(directory, header, mmap);
    } catch (const py::value_error &) {
      // Files missing or unlike their header because a save replaced the
      // header since it was read: read the index the header names now.
      if (attempt < load_attempts) {
        const std::optional<py::bytes> again = header_bytes(directory);
        if (!again || !again->equal(*raw))
          continue;
      }
      throw;
    }
  }
}

} // namespace morvel::binding
