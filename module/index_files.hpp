// An index's files on disk: saved so that no reader and no other save ever
// meets part of one, loaded only after everything they hold is checked.
#pragma once

#include <morvel/index.hpp>
#include <morvel/index_format.hpp>

#include <pybind11/pybind11.h>

#include <vector>

namespace morvel::binding {

// Makes the core's refusal of a load, wherever it is thrown, the error of
// a load that is refused: ValueError("not a readable morvel.Index: " +
// why); and gives the Python layers the format's limits they share, as
// private attributes of morvel.Index.
void define_index_files(pybind11::handle index_class);

// Saves an index into the directory `path`, made if missing. Every file is
// new, created exclusively under a name of this save's own generation (a
// link planted at any name is never followed), and the header naming that
// generation is renamed into place last: a load sees the old index or the
// new one, whole, and files a reader maps are never rewritten. Files of
// generations no header names any longer are removed afterwards, and a
// save that fails removes what it wrote. Throws OSError (FileExistsError
// when `path` is a file, NotADirectoryError when a parent is) and what
// writing throws. Cost: one pass over every table, hashed as it is written.
void save_index_files(const pybind11::object &path, const IndexShape &shape,
                      const double *series, const IndexTables &tables);

// A saved index, checked, and the objects that keep its memory (files
// mapped or read) alive for as long as the index is used.
struct IndexFiles {
  LoadedIndex index;
  std::vector<pybind11::object> memory;
};

// Opens the index saved at `path`, of format version 1 or 2, and checks
// everything load_index checks (morvel/index_format.hpp), with the
// interpreter released: anything else is
// ValueError("not a readable morvel.Index: ..."). A load that races a save
// reads the header again and retries, so it returns the index before or
// after that save. Throws morvel::allocation_error when mmap is false and
// the files do not fit. Cost: one pass over every file's bytes.
IndexFiles load_index_files(const pybind11::object &path, bool mmap);

} // namespace morvel::binding
