// Drives the loading of saved indexes with arbitrary files (format_input.hpp
// says how an input holds them). Each input is loaded as it is, which
// exercises the header and the checksums, and again with its checksums made
// to match, which takes damaged tables past them to every later check.
// What loads is searched (a table that passed the checks but could not be
// read safely crashes here under AddressSanitizer), and saved and loaded
// again, which must give the same index.
#include "format_input.hpp"

#include <morvel/index.hpp>
#include <morvel/index_format.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

using morvel::index_table_count;
using morvel::fuzzing::Held;
using morvel::fuzzing::SavedFiles;

[[noreturn]] void fail() {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_trap();
#else
  std::abort();
#endif
}

std::optional<morvel::LoadedIndex> loaded(const Held &held) {
  try {
    return morvel::load_index(held.header, held.files);
  } catch (const morvel::unreadable_index &) {
    return std::nullopt;
  }
}

bool same(const void *a, const void *b, std::int64_t bytes) {
  return bytes == 0 || std::memcmp(a, b, static_cast<std::size_t>(bytes)) == 0;
}

void exercise(const morvel::LoadedIndex &index) {
  const morvel::IndexShape &shape = index.header.shape;
  const morvel::IndexTables &tables = index.tables;
  // A ramp has a shape whatever the window.
  std::vector<double> q(static_cast<std::size_t>(shape.window));
  for (std::size_t i = 0; i < q.size(); ++i)
    q[i] = static_cast<double>(i % 7);
  double distances[3];
  std::int64_t starts[3];
  morvel::SearchStats stats;
  for (const bool exact : {true, false})
    morvel::search_index(shape, tables, index.series, q.data(), 3, 0,
                         std::nullopt, exact, distances, starts, stats);

  const SavedFiles again = morvel::compose_index_files(
      shape, index.series, tables,
      std::string(morvel::index_generation_digits, '0'));
  const Held held(again);
  const std::optional<morvel::LoadedIndex> reread = loaded(held);
  if (!reread)
    fail();
  const morvel::IndexTables &other = reread->tables;
  if (other.ranked != tables.ranked ||
      other.irregular_count != tables.irregular_count ||
      other.shapeless_count != tables.shapeless_count ||
      !same(reread->series, index.series, shape.length * 8) ||
      !same(other.words, tables.words, tables.ranked * shape.w) ||
      !same(other.windows, tables.windows, tables.ranked * 4) ||
      !same(other.boxes, tables.boxes,
            morvel::leaf_count(tables.ranked) * 2 * shape.w) ||
      !same(other.irregular, tables.irregular, tables.irregular_count * 4) ||
      !same(other.shapeless, tables.shapeless, tables.shapeless_count * 4))
    fail();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  std::optional<SavedFiles> files = morvel::fuzzing::split(data, size);
  if (!files)
    return 0;
  {
    const Held held(*files);
    if (const auto index = loaded(held))
      exercise(*index);
  }
  morvel::IndexHeader header;
  try {
    header = morvel::parse_index_header((*files)[0]);
  } catch (const morvel::unreadable_index &) {
    return 0;
  }
  std::array<std::string, index_table_count> sums;
  for (std::size_t table = 0; table < index_table_count; ++table)
    sums[table] = morvel::blake2b_256((*files)[table + 1].data(),
                                      (*files)[table + 1].size());
  (*files)[0] = morvel::compose_index_header(
      header.shape, std::string(morvel::index_generation_digits, 'f'), sums);
  const Held held(*files);
  if (const auto index = loaded(held))
    exercise(*index);
  return 0;
}
