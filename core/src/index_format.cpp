// The tables' files: .npy headers composed byte for byte as numpy writes
// them and read as numpy reads them (the Python literal of a dict, as far
// as numpy's own files and hand-edited ones need), each file checked before
// anything reads its values, and the whole index checked before a search
// may trust it.
#include "morvel/index_format.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>

namespace morvel {
namespace {

constexpr char npy_magic[] = "\x93NUMPY";
constexpr std::size_t npy_magic_size = 6;
// numpy aligns the values of the files it writes to this many bytes.
constexpr std::size_t npy_alignment = 64;
// numpy leaves room for the first extent to grow to this many digits.
constexpr std::size_t npy_growth_digits = 21;
// numpy refuses longer headers unless told they are trusted.
constexpr std::size_t npy_header_limit = 10000;

[[noreturn]] void refuse(const std::string &why) {
  throw unreadable_index(why);
}

bool little_endian_host() noexcept {
  const std::uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

struct Element {
  const char *descr;
  std::size_t size;
  std::size_t alignment;
};

Element element_of(TableElement element) {
  switch (element) {
  case TableElement::float64:
    return {"<f8", 8, alignof(double)};
  case TableElement::uint32:
    return {"<u4", 4, alignof(std::uint32_t)};
  case TableElement::uint8:
  default:
    return {"|u1", 1, 1};
  }
}

// What a file's header describes, before it is held against the table.
struct Described {
  std::string descr;
  bool descr_text = false;
  bool fortran_order = false;
  std::vector<std::int64_t> shape;
  bool extent_refused = false; // negative, or a boolean
  bool extent_beyond = false;  // beyond 64 bits
};

struct not_literal {};

// The part of Python's literal syntax a .npy header is written in.
class LiteralReader {
public:
  explicit LiteralReader(std::string_view text) : text_(text) {}

  Described header() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t'))
      ++at_;
    Described described;
    expect('{');
    bool descr = false, order = false, shape = false;
    while (!take('}')) {
      const std::string key = quoted();
      expect(':');
      if (key == "descr") {
        descr = true;
        described.descr_text = peek_quote();
        described.descr = described.descr_text ? quoted() : (skip_value(), "");
      } else if (key == "fortran_order") {
        order = true;
        if (take_word("True"))
          described.fortran_order = true;
        else if (take_word("False"))
          described.fortran_order = false;
        else
          throw not_literal();
      } else if (key == "shape") {
        shape = true;
        read_shape(described);
      } else {
        throw not_literal();
      }
      if (!take(',')) {
        expect('}');
        break;
      }
    }
    skip_space();
    if (at_ != text_.size() || !(descr && order && shape))
      throw not_literal();
    return described;
  }

private:
  void skip_space() {
    while (at_ < text_.size() && text_[at_] != '\0' &&
           std::strchr(" \t\n\r\f", text_[at_]) != nullptr)
      ++at_;
  }
  bool take(char c) {
    skip_space();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!take(c))
      throw not_literal();
  }
  bool is_name(char c) const {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') || c == '_';
  }
  bool take_word(std::string_view word) {
    skip_space();
    if (text_.substr(at_, word.size()) != word ||
        (at_ + word.size() < text_.size() && is_name(text_[at_ + word.size()])))
      return false;
    at_ += word.size();
    return true;
  }
  bool peek_quote() {
    skip_space();
    return at_ < text_.size() && (text_[at_] == '\'' || text_[at_] == '"');
  }
  std::string quoted() {
    if (!peek_quote())
      throw not_literal();
    const char quote = text_[at_++];
    const std::size_t end = text_.find(quote, at_);
    if (end == text_.npos)
      throw not_literal();
    std::string text(text_.substr(at_, end - at_));
    // Escapes and line breaks are not in any descr a table can have.
    if (text.find_first_of("\\\n\r") != text.npos)
      throw not_literal();
    at_ = end + 1;
    return text;
  }
  // Anything a dtype's description could be beside text: lists and tuples
  // of text, numbers and more of them.
  void skip_value(int depth = 0) {
    if (depth > 32)
      throw not_literal();
    if (peek_quote()) {
      quoted();
      return;
    }
    if (take('(') || take('[')) {
      const char close = text_[at_ - 1] == '(' ? ')' : ']';
      while (!take(close)) {
        skip_value(depth + 1);
        if (!take(',')) {
          expect(close);
          return;
        }
      }
      return;
    }
    skip_space();
    const std::size_t first = at_;
    while (at_ < text_.size() && (is_name(text_[at_]) || text_[at_] == '-'))
      ++at_;
    if (at_ == first)
      throw not_literal();
  }
  void read_shape(Described &described) {
    expect('(');
    bool comma = false;
    while (!take(')')) {
      described.shape.push_back(extent(described));
      comma = take(',');
      if (!comma) {
        expect(')');
        // One item without its comma is a number in brackets, no tuple.
        if (described.shape.size() == 1)
          throw not_literal();
        return;
      }
    }
  }
  std::int64_t extent(Described &described) {
    if (take_word("True") || take_word("False")) {
      described.extent_refused = true;
      return 0;
    }
    const bool negative = take('-');
    skip_space();
    const std::size_t first = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
      ++at_;
    const std::size_t digits = at_ - first;
    // Python has no numbers with leading zeros, and no literal may run on.
    if (digits == 0 || (digits > 1 && text_[first] == '0') ||
        (at_ < text_.size() && (is_name(text_[at_]) || text_[at_] == '.')))
      throw not_literal();
    std::int64_t value = 0;
    for (std::size_t i = first; i < at_; ++i) {
      const int digit = text_[i] - '0';
      if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) {
        described.extent_beyond = !negative;
        described.extent_refused |= negative;
        return 0;
      }
      value = value * 10 + digit;
    }
    if (negative && value > 0)
      described.extent_refused = true;
    return value;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// Whether a description names some numpy type: what is not one is no
// array at all, what is another one is an array of the wrong type.
bool names_a_type(const std::string &descr) {
  const bool signed_order =
      !descr.empty() && (descr[0] == '<' || descr[0] == '>' ||
                         descr[0] == '|' || descr[0] == '=');
  std::size_t at = signed_order ? 1 : 0;
  if (at == descr.size() || !((descr[at] >= 'a' && descr[at] <= 'z') ||
                              (descr[at] >= 'A' && descr[at] <= 'Z')))
    return false;
  for (++at; at < descr.size(); ++at)
    if (!(descr[at] >= '0' && descr[at] <= '9'))
      return false;
  return true;
}

// Whether a description is `element` as stored on this host: numpy's own
// spelling, or the native byte order spelled without its sign.
bool is_element(const std::string &descr, TableElement element) {
  const Element expected = element_of(element);
  const std::string code = expected.descr + 1;
  if (!little_endian_host() && expected.size > 1)
    return false;
  if (descr == code || descr == "=" + code)
    return true;
  return expected.size == 1
             ? descr == "|" + code || descr == "<" + code || descr == ">" + code
             : descr == expected.descr;
}

std::string hex64(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, value);
  return text;
}

std::vector<std::int64_t> dimensions_of(std::initializer_list<std::int64_t> e) {
  return std::vector<std::int64_t>(e);
}

} // namespace

std::array<TableLayout, index_table_count>
index_table_layouts(const IndexShape &shape, const double *series,
                    const IndexTables &tables) {
  const auto bytes = [](std::int64_t count, std::size_t size) {
    return static_cast<std::size_t>(count) * size;
  };
  const std::int64_t leaves = leaf_count(tables.ranked);
  return {{{TableElement::float64, dimensions_of({shape.length}), series,
            bytes(shape.length, 8)},
           {TableElement::uint8, dimensions_of({tables.ranked, shape.w}),
            tables.words, bytes(tables.ranked * shape.w, 1)},
           {TableElement::uint32, dimensions_of({tables.ranked}),
            tables.windows, bytes(tables.ranked, 4)},
           {TableElement::uint8, dimensions_of({leaves, 2, shape.w}),
            tables.boxes, bytes(leaves * 2 * shape.w, 1)},
           {TableElement::uint32, dimensions_of({tables.irregular_count}),
            tables.irregular, bytes(tables.irregular_count, 4)},
           {TableElement::uint32, dimensions_of({tables.shapeless_count}),
            tables.shapeless, bytes(tables.shapeless_count, 4)}}};
}

std::string compose_npy_header(TableElement element,
                               const std::vector<std::int64_t> &shape) {
  std::string extents;
  for (std::size_t i = 0; i < shape.size(); ++i)
    extents += (i > 0 ? ", " : "") + std::to_string(shape[i]);
  // Python's repr of a tuple: one item keeps its comma.
  const std::string tuple = "(" + extents + (shape.size() == 1 ? ",)" : ")");
  std::string header = "{'descr': '" + std::string(element_of(element).descr) +
                       "', 'fortran_order': False, 'shape': " + tuple + ", }";
  if (!shape.empty())
    header.append(npy_growth_digits - std::to_string(shape[0]).size(), ' ');
  const std::size_t length = header.size() + 1; // and its newline
  const std::size_t padding =
      npy_alignment - (npy_magic_size + 2 + 2 + length) % npy_alignment;
  const std::size_t stored = length + padding;
  if (stored > 0xffff)
    throw std::length_error("an .npy header of format 1.0 holds 65535 bytes");
  std::string out(npy_magic, npy_magic_size);
  out += '\x01';
  out += '\x00';
  out += static_cast<char>(stored & 0xff);
  out += static_cast<char>(stored >> 8);
  return out + header + std::string(padding, ' ') + "\n";
}

NpyArray parse_npy(const std::uint8_t *bytes, std::size_t size,
                   TableElement element, std::size_t dimensions,
                   const std::string &name) {
  const auto unreadable = [&] { refuse(name + " cannot be read as an array"); };
  if (size < npy_magic_size + 2 ||
      std::memcmp(bytes, npy_magic, npy_magic_size) != 0)
    unreadable();
  const int major = bytes[npy_magic_size];
  if (major != 1 && major != 2)
    refuse(name + " is of an .npy version this morvel does not read");
  const std::size_t field = major == 1 ? 2 : 4;
  const std::size_t begin = npy_magic_size + 2 + field;
  if (size < begin)
    unreadable();
  std::size_t length = 0;
  for (std::size_t i = field; i-- > 0;)
    length = length * 256 + bytes[npy_magic_size + 2 + i];
  if (length > size - begin || length > npy_header_limit)
    unreadable();
  Described described;
  try {
    described = LiteralReader(
                    std::string_view(
                        reinterpret_cast<const char *>(bytes) + begin, length))
                    .header();
  } catch (const not_literal &) {
    unreadable();
  }
  if (described.descr_text && !names_a_type(described.descr))
    unreadable();
  const Element expected = element_of(element);
  if (described.extent_refused || !described.descr_text ||
      !is_element(described.descr, element) || described.fortran_order ||
      described.shape.size() != dimensions)
    refuse(name + " is not of the type and layout it must be");
  const std::size_t offset = begin + length;
  // A product beyond 64 bits matches no file; a zero extent makes any
  // other extent hold nothing.
  bool beyond = described.extent_beyond;
  std::uint64_t count = 1;
  for (const std::int64_t extent : described.shape) {
    const auto value = static_cast<std::uint64_t>(extent);
    if (value == 0)
      count = 0;
    else if (count > std::numeric_limits<std::uint64_t>::max() / value)
      beyond = true;
    else
      count *= value;
  }
  const std::uint64_t values = size - offset;
  if (beyond || count > values / expected.size ||
      count * expected.size != values)
    refuse(name + " is not of the size its header gives");
  const std::uint8_t *data = bytes + offset;
  if (reinterpret_cast<std::uintptr_t>(data) % expected.alignment != 0)
    refuse(name + " is not aligned");
  return {data, described.shape};
}

NpyArray check_table_file(const IndexHeader &header, std::size_t table,
                          FileBytes file) {
  const std::string name =
      index_table_file(table, header.version, header.generation);
  if (file.size < 16)
    refuse(name + " cannot be read as an array");
  const std::optional<std::string> &expected = header.checksums[table];
  if (!expected)
    refuse("its header has no checksum of " + name);
  const auto damaged = [&] {
    refuse(name + " is damaged: its checksum does not match");
  };
  if (header.version >= 2 && blake2b_256(file.data, file.size) != *expected)
    damaged();
  static constexpr TableElement elements[index_table_count] = {
      TableElement::float64, TableElement::uint8,  TableElement::uint32,
      TableElement::uint8,   TableElement::uint32, TableElement::uint32};
  static constexpr std::size_t dimensions[index_table_count] = {1, 2, 1,
                                                                3, 1, 1};
  const NpyArray array =
      parse_npy(file.data, file.size, elements[table], dimensions[table], name);
  if (header.version == 1) {
    const auto values = static_cast<std::size_t>(
        file.data + file.size - static_cast<const std::uint8_t *>(array.data));
    if (hex64(checksum(array.data, values)) != *expected)
      damaged();
  }
  return array;
}

LoadedIndex load_index(std::string_view header_bytes,
                       const std::array<FileBytes, index_table_count> &files) {
  LoadedIndex index;
  index.header = parse_index_header(header_bytes);
  const IndexHeader &header = index.header;
  std::array<NpyArray, index_table_count> arrays;
  for (std::size_t table = 0; table < index_table_count; ++table)
    arrays[table] = check_table_file(header, table, files[table]);
  const IndexShape &shape = header.shape;
  const auto extent = [&](std::size_t table, std::size_t axis) {
    return arrays[table].shape[axis];
  };
  if (extent(0, 0) != shape.length)
    refuse(index_table_file(0, header.version, header.generation) +
           " is not of the length the header gives");
  if (extent(1, 1) != shape.w || extent(3, 1) != 2 || extent(3, 2) != shape.w)
    refuse("its words or boxes are not of the shape the header gives");
  if (extent(1, 0) != extent(2, 0) || extent(3, 0) != leaf_count(extent(1, 0)))
    refuse("its tables disagree on the number of words");
  index.series = static_cast<const double *>(arrays[0].data);
  IndexTables &tables = index.tables;
  tables.words = static_cast<const std::uint8_t *>(arrays[1].data);
  tables.windows = static_cast<const std::uint32_t *>(arrays[2].data);
  tables.ranked = extent(1, 0);
  tables.boxes = static_cast<const std::uint8_t *>(arrays[3].data);
  tables.irregular = static_cast<const std::uint32_t *>(arrays[4].data);
  tables.irregular_count = extent(4, 0);
  tables.shapeless = static_cast<const std::uint32_t *>(arrays[5].data);
  tables.shapeless_count = extent(5, 0);
  try {
    check_tables(shape, tables);
  } catch (const std::invalid_argument &error) {
    refuse(error.what());
  }
  return index;
}

std::array<std::string, index_table_count + 1>
compose_index_files(const IndexShape &shape, const double *series,
                    const IndexTables &tables, const std::string &generation) {
  std::array<std::string, index_table_count + 1> files;
  std::array<std::string, index_table_count> checksums;
  const auto layouts = index_table_layouts(shape, series, tables);
  for (std::size_t table = 0; table < index_table_count; ++table) {
    const TableLayout &layout = layouts[table];
    std::string &file = files[table + 1];
    file = compose_npy_header(layout.element, layout.shape);
    if (layout.bytes > 0)
      file.append(static_cast<const char *>(layout.data), layout.bytes);
    checksums[table] = blake2b_256(file.data(), file.size());
  }
  files[0] = compose_index_header(shape, generation, checksums);
  return files;
}

} // namespace morvel
