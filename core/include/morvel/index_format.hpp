// The bytes of a saved index, apart from where they are stored. A saved
// index is header.json and six tables, each a plain .npy file (format 1.0
// written, 1.0 and 2.0 read) so that numpy reads ours and we read numpy's.
// Version 2 names its files <table>-G.npy after the save's generation G and
// keeps the BLAKE2b-256 digest of each whole file; version 1 (fixed names,
// the 64-bit checksum of each table's values, index.hpp) is still read.
// Whoever stores the files (a directory, a fuzzer's input, a test's
// strings) hands their bytes here to be composed or checked.
#pragma once

#include "morvel/index.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace morvel {

// Bytes that are not a readable index; what() says why, in words a user of
// any binding can be shown after "not a readable morvel.Index: ".
class unreadable_index : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char *index_format_name = "morvel.Index";
inline constexpr int index_format_version = 2;
inline constexpr const char *index_checksum_name = "blake2b-256";
// A header larger than this is damage, not an index: readers read no more.
inline constexpr std::size_t index_header_limit = 1 << 16;
// A generation is this many lowercase hexadecimal digits.
inline constexpr std::size_t index_generation_digits = 32;

// The tables, in the order of every array below: series (float64), words
// (uint8, ranked x w), windows (uint32), boxes (uint8, leaves x 2 x w),
// irregular and shapeless (uint32).
inline constexpr std::size_t index_table_count = 6;
inline constexpr std::array<const char *, index_table_count> index_table_names =
    {"series", "words", "windows", "boxes", "irregular", "shapeless"};

// BLAKE2b with a 32-byte digest and no key, fed in pieces: the digest of
// the concatenation, as hashlib.blake2b(data, digest_size=32) gives it.
class Blake2b256 {
public:
  Blake2b256() noexcept;
  // Cost: one pass over the bytes. Never throws.
  void update(const void *data, std::size_t size) noexcept;
  // The digest as 64 lowercase hexadecimal digits. Call once, last.
  std::string hex_digest();

private:
  void compress(const std::uint8_t *block, bool last) noexcept;
  std::uint64_t state_[8];
  std::uint64_t counter_[2] = {0, 0};
  std::uint8_t block_[128] = {};
  std::size_t filled_ = 0;
};

// The BLAKE2b-256 digest of `size` bytes, hexadecimal. Cost: one pass.
std::string blake2b_256(const void *data, std::size_t size);

// Whether `text` is a generation's form.
bool is_generation(std::string_view text) noexcept;

// The name of a table's file: "<table>.npy" in version 1, "<table>-G.npy"
// after. Precondition: table < index_table_count.
std::string index_table_file(std::size_t table, int version,
                             const std::string &generation);

// What header.json holds, its fields checked.
struct IndexHeader {
  int version = 0;
  IndexShape shape;
  std::string generation; // version 2 on
  // Per table, the checksum's text, or nothing where the header gives none
  // (or gives something that is not text: refused when its file is read).
  std::array<std::optional<std::string>, index_table_count> checksums;
};

// header.json of version 2 for this shape, generation and files' digests,
// as json.dumps(fields, indent=1, sort_keys=True) writes it. Precondition:
// generation and checksums are hexadecimal. Cost: a few hundred bytes.
std::string compose_index_header(
    const IndexShape &shape, const std::string &generation,
    const std::array<std::string, index_table_count> &checksums);

// Parses header.json (UTF-8 JSON, at most index_header_limit bytes) and
// checks its fields: the format, a version from 1 to index_format_version,
// the generation and checksum kind of version 2, integer length, window,
// stride and w that plan_index accepts, leaves of index_leaf_size and an
// object of checksums. Throws unreadable_index naming the first fault.
// Cost: one pass over the bytes.
IndexHeader parse_index_header(std::string_view bytes);

// The values a table's file holds.
enum class TableElement { float64, uint8, uint32 };

// A table as a saved file lays it out: its values, their type and shape.
struct TableLayout {
  TableElement element = TableElement::uint8;
  std::vector<std::int64_t> shape;
  const void *data = nullptr;
  std::size_t bytes = 0;
};

// The six tables of an index over `series` (shape.length values), in
// index_table_names' order. Borrows the memory. O(1).
std::array<TableLayout, index_table_count>
index_table_layouts(const IndexShape &shape, const double *series,
                    const IndexTables &tables);

// The header of a little-endian C-order .npy file of format 1.0 holding
// `shape` values of `element`, byte for byte as numpy writes it (its length
// a multiple of 64). Throws std::length_error when the shape does not fit
// the format's header. Cost: O(dimensions).
std::string compose_npy_header(TableElement element,
                               const std::vector<std::int64_t> &shape);

// A .npy file's values, found by its header.
struct NpyArray {
  const void *data = nullptr;
  std::vector<std::int64_t> shape;
};

// Checks that `size` bytes are a .npy file (format 1.0 or 2.0) of exactly
// `dimensions` non-negative extents of little-endian `element` in C order,
// exactly as long as its header says, its values aligned for their type.
// Throws unreadable_index starting with `name` otherwise. Reads the header
// alone: O(header).
NpyArray parse_npy(const std::uint8_t *bytes, std::size_t size,
                   TableElement element, std::size_t dimensions,
                   const std::string &name);

// A file's bytes, borrowed.
struct FileBytes {
  const std::uint8_t *data = nullptr;
  std::size_t size = 0;
};

// Checks the file of `table` against the header: its checksum (of the
// whole file for version 2, of its values for version 1) and parse_npy.
// Throws unreadable_index naming the file. Cost: one pass over the file.
NpyArray check_table_file(const IndexHeader &header, std::size_t table,
                          FileBytes file);

// An index read from its files: the series and the tables, borrowed from
// the files' bytes.
struct LoadedIndex {
  IndexHeader header;
  const double *series = nullptr;
  IndexTables tables;
};

// Parses the header, checks every table's file in order and their shapes
// against the header and each other, then check_tables. Throws
// unreadable_index with the first fault. Cost: one pass over every file.
LoadedIndex load_index(std::string_view header,
                       const std::array<FileBytes, index_table_count> &files);

// Every file of an index saved as version 2 under `generation`: header.json
// first, then the tables' files. For tests, benchmarks and fuzzers: it
// copies everything. Throws as compose_npy_header.
std::array<std::string, index_table_count + 1>
compose_index_files(const IndexShape &shape, const double *series,
                    const IndexTables &tables, const std::string &generation);

} // namespace morvel
