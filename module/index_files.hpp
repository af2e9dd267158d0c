// An index's files on disk: saved so that no reader and no other save ever
// meets part of one, loaded only after everything they hold is checked.
#pragma once

#include <morvel/index.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace morvel::binding {

// An index's arrays in the order of its files: series (float64), words
// (uint8, ranked x w), windows (uint32), boxes (uint8, leaves x 2 x w),
// irregular and shapeless (uint32).
inline constexpr std::size_t index_file_count = 6;
using IndexArrays = std::array<pybind11::array, index_file_count>;

// The error of a load that is refused: ValueError("not a readable
// morvel.Index: " + why).
pybind11::value_error damaged(const std::string &why);

// Saves an index into the directory `path`, made if missing. Every file is
// new, created exclusively under a name of this save's own generation (a
// link planted at any name is never followed), and the header naming that
// generation is renamed into place last: a load sees the old index or the
// new one, whole, and files a reader maps are never rewritten. Files of
// generations no header names any longer are removed afterwards, and a
// save that fails removes what it wrote. Throws OSError (FileExistsError
// when `path` is a file, NotADirectoryError when a parent is) and what
// writing throws. Cost: one pass over every array, hashed as it is written.
void save_index_files(const pybind11::object &path, const IndexShape &shape,
                      const IndexArrays &arrays);

// A saved index's shape and arrays, mapped (mmap) or read into memory.
struct IndexFiles {
  IndexShape shape;
  IndexArrays arrays;
};

// Opens the index saved at `path`, of format version 1 or 2, checking the
// header's fields, every file's type, byte order, alignment, shape and size,
// and its checksum (BLAKE2b-256 of the whole file for version 2): anything
// else is ValueError("not a readable morvel.Index: ..."). A load that races
// a save reads the header again and retries, so it returns the index before
// or after that save. Throws morvel::allocation_error when mmap is false and
// the files do not fit. The tables' consistency is the caller's to check.
// Cost: one pass over every file's bytes.
IndexFiles load_index_files(const pybind11::object &path, bool mmap);

} // namespace morvel::binding
