// header.json: composed as Python's json.dumps(indent=1, sort_keys=True)
// writes it, and read by a JSON reader that accepts what Python's json
// accepts (its NaN and Infinity, a repeated key's last value, a byte order
// mark) and refuses what it refuses, so that a header Python tools edit or
// write reads the same here; only the fields the index needs are kept.
#include "morvel/index_format.hpp"

#include <limits>
#include <map>
#include <memory>
#include <utility>

namespace morvel {
namespace {

// Deeper nesting than an index's header has is refused before it can
// exhaust the stack.
constexpr int json_depth_limit = 512;
// Python refuses integers of more digits than this (sys.int_info).
constexpr std::size_t json_integer_digits_limit = 4300;

struct JsonValue {
  enum class Kind { null, boolean, integer, real, text, array, object };
  Kind kind = Kind::null;
  std::int64_t integer = 0;
  bool integer_fits = true; // within int64, else `integer` holds its sign
  std::string text;
  bool text_sound = true; // no lone surrogate: Python could encode it
  std::map<std::string, std::unique_ptr<JsonValue>> members;
};

struct not_json {};

// Well-formed UTF-8, surrogates allowed as Python's "surrogatepass" decodes
// them (they make the text they stand in unsound, not the document).
bool is_utf8(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    std::size_t extra = 0;
    unsigned low = 0x80, high = 0xbf;
    if (lead < 0x80) {
      ++at;
      continue;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
      extra = 1;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      extra = 2;
      low = lead == 0xe0 ? 0xa0 : 0x80;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      extra = 3;
      low = lead == 0xf0 ? 0x90 : 0x80;
      high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
      return false;
    }
    if (bytes.size() - at <= extra)
      return false;
    for (std::size_t i = 1; i <= extra; ++i) {
      const auto next = static_cast<unsigned char>(bytes[at + i]);
      if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xbf))
        return false;
    }
    at += extra + 1;
  }
  return true;
}

class JsonReader {
public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  std::unique_ptr<JsonValue> document() {
    auto value = read_value(0);
    skip_space();
    if (at_ != text_.size())
      throw not_json();
    return value;
  }

private:
  void skip_space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                  text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool take(std::string_view word) {
    if (text_.substr(at_, word.size()) != word)
      return false;
    at_ += word.size();
    return true;
  }
  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  bool is_digit(char c) const { return c >= '0' && c <= '9'; }

  std::unique_ptr<JsonValue> read_value(int depth) {
    if (depth > json_depth_limit)
      throw not_json();
    skip_space();
    auto value = std::make_unique<JsonValue>();
    using Kind = JsonValue::Kind;
    const char c = peek();
    if (c == '{') {
      value->kind = Kind::object;
      ++at_;
      skip_space();
      if (take("}"))
        return value;
      for (;;) {
        skip_space();
        if (peek() != '"')
          throw not_json();
        const JsonValue key = read_text();
        skip_space();
        if (!take(":"))
          throw not_json();
        value->members[key.text] = read_value(depth + 1);
        skip_space();
        if (take("}"))
          return value;
        if (!take(","))
          throw not_json();
      }
    }
    if (c == '[') {
      value->kind = Kind::array; // an index's header needs no items
      ++at_;
      skip_space();
      if (take("]"))
        return value;
      for (;;) {
        read_value(depth + 1);
        skip_space();
        if (take("]"))
          return value;
        if (!take(","))
          throw not_json();
      }
    }
    if (c == '"') {
      *value = read_text();
      return value;
    }
    if (take("null"))
      return value;
    if (take("true") || take("false")) {
      value->kind = Kind::boolean;
      return value;
    }
    if (take("NaN") || take("Infinity") || take("-Infinity")) {
      value->kind = Kind::real;
      return value;
    }
    read_number(*value);
    return value;
  }

  void read_number(JsonValue &value) {
    const bool negative = take("-");
    if (!is_digit(peek()))
      throw not_json();
    const std::size_t first = at_;
    if (peek() == '0')
      ++at_;
    else
      while (is_digit(peek()))
        ++at_;
    const std::size_t digits = at_ - first;
    bool real = false;
    if (peek() == '.' && at_ + 1 < text_.size() && is_digit(text_[at_ + 1])) {
      real = true;
      for (++at_; is_digit(peek());)
        ++at_;
    }
    if (peek() == 'e' || peek() == 'E') {
      std::size_t after = at_ + 1;
      if (after < text_.size() && (text_[after] == '+' || text_[after] == '-'))
        ++after;
      if (after < text_.size() && is_digit(text_[after])) {
        real = true;
        for (at_ = after; is_digit(peek());)
          ++at_;
      }
    }
    if (real) {
      value.kind = JsonValue::Kind::real;
      return;
    }
    if (digits > json_integer_digits_limit)
      throw not_json();
    value.kind = JsonValue::Kind::integer;
    // Accumulated negatively: the int64 range is one wider below zero.
    std::int64_t number = 0;
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = first; i < first + digits; ++i) {
      const int digit = text_[i] - '0';
      if (number < (lowest + digit) / 10) {
        value.integer_fits = false;
        value.integer = negative ? -1 : 1;
        return;
      }
      number = number * 10 - digit;
    }
    if (!negative && number == lowest) {
      value.integer_fits = false;
      value.integer = 1;
      return;
    }
    value.integer = negative ? number : -number;
  }

  unsigned read_hex4() {
    if (at_ + 4 > text_.size())
      throw not_json();
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0)
        throw not_json();
      code = code * 16 + static_cast<unsigned>(digit);
    }
    return code;
  }

  static void append_utf8(std::string &out, unsigned code) {
    const auto byte = [&](unsigned value) {
      out += static_cast<char>(static_cast<unsigned char>(value));
    };
    if (code < 0x80) {
      byte(code);
    } else if (code < 0x800) {
      byte(0xc0 | (code >> 6));
      byte(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
      byte(0xe0 | (code >> 12));
      byte(0x80 | ((code >> 6) & 0x3f));
      byte(0x80 | (code & 0x3f));
    } else {
      byte(0xf0 | (code >> 18));
      byte(0x80 | ((code >> 12) & 0x3f));
      byte(0x80 | ((code >> 6) & 0x3f));
      byte(0x80 | (code & 0x3f));
    }
  }

  JsonValue read_text() {
    JsonValue value;
    value.kind = JsonValue::Kind::text;
    ++at_; // the opening quote
    for (;;) {
      if (at_ >= text_.size())
        throw not_json();
      const auto c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"')
        return value;
      if (c < 0x20)
        throw not_json();
      if (c == 0xed && at_ < text_.size() &&
          static_cast<unsigned char>(text_[at_]) >= 0xa0)
        value.text_sound = false; // a surrogate's bytes
      if (c != '\\') {
        value.text += static_cast<char>(c);
        continue;
      }
      if (at_ >= text_.size())
        throw not_json();
      const char escape = text_[at_++];
      constexpr std::string_view plain = "\"\\/bfnrt";
      constexpr std::string_view meant = "\"\\/\b\f\n\r\t";
      if (const auto found = plain.find(escape); found != plain.npos) {
        value.text += meant[found];
        continue;
      }
      if (escape != 'u')
        throw not_json();
      unsigned code = read_hex4();
      if (code >= 0xd800 && code <= 0xdbff && take("\\u")) {
        const unsigned low = read_hex4();
        if (low >= 0xdc00 && low <= 0xdfff) {
          code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
        } else {
          value.text_sound = false;
          append_utf8(value.text, code);
          code = low;
        }
      }
      if (code >= 0xd800 && code <= 0xdfff)
        value.text_sound = false;
      append_utf8(value.text, code);
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

[[noreturn]] void refuse(const std::string &why) {
  throw unreadable_index(why);
}

const JsonValue *member(const JsonValue &object, const char *key) {
  const auto found = object.members.find(key);
  return found == object.members.end() ? nullptr : found->second.get();
}

std::int64_t header_integer(const JsonValue &fields, const char *key,
                            std::int64_t low, std::int64_t high) {
  const std::string named = std::string("its header's ") + key + " ";
  const JsonValue *value = member(fields, key);
  if (value == nullptr)
    refuse(named + "is missing");
  if (value->kind != JsonValue::Kind::integer)
    refuse(named + "is not an integer");
  if (!value->integer_fits || value->integer < low || value->integer > high)
    refuse(named + "is out of range");
  return value->integer;
}

std::string header_text(const JsonValue &fields, const char *key) {
  const JsonValue *value = member(fields, key);
  if (value == nullptr || value->kind != JsonValue::Kind::text ||
      !value->text_sound)
    refuse(std::string("its header's ") + key + " is missing or not text");
  return value->text;
}

void append_field(std::string &out, std::string_view key,
                  const std::string &value, bool quoted, bool last,
                  std::string_view indent = " ") {
  out += indent;
  out += '"';
  out += key;
  out += "\": ";
  out += quoted ? '"' + value + '"' : value;
  out += last ? "\n" : ",\n";
}

} // namespace

bool is_generation(std::string_view text) noexcept {
  if (text.size() != index_generation_digits)
    return false;
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  return true;
}

std::string index_table_file(std::size_t table, int version,
                             const std::string &generation) {
  const std::string name = index_table_names[table];
  return version == 1 ? name + ".npy" : name + "-" + generation + ".npy";
}

std::string compose_index_header(
    const IndexShape &shape, const std::string &generation,
    const std::array<std::string, index_table_count> &checksums) {
  // Keys in sorted order, as json.dumps(sort_keys=True) puts them.
  std::map<std::string, std::string> sums;
  for (std::size_t table = 0; table < index_table_count; ++table)
    sums[index_table_names[table]] = checksums[table];
  std::string out = "{\n";
  append_field(out, "checksum", index_checksum_name, true, false);
  out += " \"checksums\": {\n";
  std::size_t written = 0;
  for (const auto &[table, sum] : sums)
    append_field(out, table, sum, true, ++written == sums.size(), "  ");
  out += " },\n";
  append_field(out, "format", index_format_name, true, false);
  append_field(out, "generation", generation, true, false);
  append_field(out, "leaf", std::to_string(index_leaf_size), false, false);
  append_field(out, "length", std::to_string(shape.length), false, false);
  append_field(out, "stride", std::to_string(shape.stride), false, false);
  append_field(out, "version", std::to_string(index_format_version), false,
               false);
  append_field(out, "w", std::to_string(shape.w), false, false);
  append_field(out, "window", std::to_string(shape.window), false, true);
  out += "}";
  return out;
}

IndexHeader parse_index_header(std::string_view bytes) {
  if (bytes.size() > index_header_limit)
    refuse("its header is too large");
  if (bytes.substr(0, 3) == "\xef\xbb\xbf")
    bytes.remove_prefix(3);
  std::unique_ptr<JsonValue> parsed;
  try {
    if (!is_utf8(bytes))
      throw not_json();
    parsed = JsonReader(bytes).document();
  } catch (const not_json &) {
    refuse("its header is not JSON");
  }
  if (parsed->kind != JsonValue::Kind::object)
    refuse("its header is not an object");
  const JsonValue &fields = *parsed;
  const JsonValue *format = member(fields, "format");
  if (format == nullptr || format->kind != JsonValue::Kind::text ||
      format->text != index_format_name)
    refuse("its header names another format");
  IndexHeader header;
  const std::int64_t version =
      header_integer(fields, "version", 0, std::int64_t{1} << 40);
  if (version < 1 || version > index_format_version)
    refuse("it is version " + std::to_string(version) +
           ", and this morvel reads versions 1 to " +
           std::to_string(index_format_version));
  header.version = static_cast<int>(version);
  if (header.version >= 2) {
    header.generation = header_text(fields, "generation");
    if (!is_generation(header.generation))
      refuse("its header's generation is not " +
             std::to_string(index_generation_digits) + " hexadecimal digits");
    if (header_text(fields, "checksum") != index_checksum_name)
      refuse(std::string("its checksums are not ") + index_checksum_name);
  }
  constexpr std::int64_t large = std::int64_t{1} << 62;
  const std::int64_t length = header_integer(fields, "length", 0, large);
  const std::int64_t window = header_integer(fields, "window", 0, large);
  const std::int64_t stride = header_integer(fields, "stride", 0, large);
  const std::int64_t w = header_integer(fields, "w", 0, large);
  if (header_integer(fields, "leaf", 0, large) != index_leaf_size)
    refuse("its leaves are not of " + std::to_string(index_leaf_size) +
           " windows");
  const JsonValue *checksums = member(fields, "checksums");
  if (checksums == nullptr || checksums->kind != JsonValue::Kind::object)
    refuse("its header has no checksums");
  for (std::size_t table = 0; table < index_table_count; ++table) {
    const JsonValue *sum = member(*checksums, index_table_names[table]);
    // Text that Python could not encode is text all the same, and matches
    // no checksum.
    if (sum != nullptr && sum->kind == JsonValue::Kind::text)
      header.checksums[table] = sum->text_sound ? sum->text : std::string();
  }
  try {
    header.shape = plan_index(length, window, stride, w);
  } catch (const std::invalid_argument &error) {
    refuse(std::string("its shape is impossible: ") + error.what());
  }
  return header;
}

} // namespace morvel
