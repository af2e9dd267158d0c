// The format fuzzer's input: header.json, then the six tables' files in
// index_table_names' order, each after a separator line. Text that a
// person can read in a corpus file, and that mutations rarely forge.
#pragma once

#include <morvel/index_format.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvel::fuzzing {

inline constexpr std::string_view part_separator = "\n=morvel-file=\n";

using SavedFiles = std::array<std::string, index_table_count + 1>;

inline std::string joined(const SavedFiles &files) {
  std::string input = files[0];
  for (std::size_t i = 1; i < files.size(); ++i)
    input.append(part_separator).append(files[i]);
  return input;
}

// The parts of an input, or nothing when it has fewer than seven; the last
// part holds the rest.
inline std::optional<SavedFiles> split(const std::uint8_t *data,
                                       std::size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  SavedFiles files;
  std::size_t at = 0;
  for (std::size_t i = 0; i + 1 < files.size(); ++i) {
    const std::size_t end = input.find(part_separator, at);
    if (end == std::string_view::npos)
      return std::nullopt;
    files[i] = std::string(input.substr(at, end - at));
    at = end + part_separator.size();
  }
  files.back() = std::string(input.substr(at));
  return files;
}

// Files held where a mapping would put them: aligned for any table.
struct Held {
  std::string header;
  std::vector<std::vector<std::uint64_t>> memory;
  std::array<FileBytes, index_table_count> files;
  explicit Held(const SavedFiles &saved) : header(saved[0]) {
    for (std::size_t table = 0; table < index_table_count; ++table) {
      const std::string &file = saved[table + 1];
      memory.emplace_back(file.size() / 8 + 1);
      std::memcpy(memory.back().data(), file.data(), file.size());
      files[table] = {
          reinterpret_cast<const std::uint8_t *>(memory.back().data()),
          file.size()};
    }
  }
};

} // namespace morvel::fuzzing
