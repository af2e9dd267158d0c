// Writes the format fuzzer's seeds into the directory given: small indexes
// saved as version 2 (one leaf and several; flat windows, windows beyond
// the bounds, a stride; w of 1 and w the window) and one as version 1, each
// a few KB in format_input.hpp's form. Run once when the format changes:
//   tools/run sh -c '"$MORVEL_BUILD/fuzz/morvel_format_seeds"
//   fuzz/format_corpus'
#include "format_input.hpp"

#include <morvel/index.hpp>
#include <morvel/index_format.hpp>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

struct Seed {
  const char *name;
  std::int64_t length, window, stride, w;
  bool version_one;
};

std::vector<double> series(std::int64_t length, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> step;
  std::vector<double> ts;
  double level = 0.0;
  for (std::int64_t i = 0; i < length; ++i)
    ts.push_back(i % 50 < 12 ? 2.5 : level += step(random));
  if (length > 40)
    ts[40] = 1e200;
  return ts;
}

// The header version 1 wrote: no generation, and the 64-bit checksum of
// each table's values.
std::string version_one_header(const morvel::IndexShape &shape,
                               const morvel::fuzzing::SavedFiles &files) {
  std::string header = "{\"format\": \"morvel.Index\", \"version\": 1, "
                       "\"length\": " +
                       std::to_string(shape.length) +
                       ", \"window\": " + std::to_string(shape.window) +
                       ", \"stride\": " + std::to_string(shape.stride) +
                       ", \"w\": " + std::to_string(shape.w) +
                       ", \"leaf\": 64, \"checksums\": {";
  for (std::size_t table = 0; table < morvel::index_table_count; ++table) {
    const std::string &file = files[table + 1];
    constexpr std::size_t npy_header = 128; // every table's, this small
    char sum[17];
    std::snprintf(
        sum, sizeof sum, "%016" PRIx64,
        morvel::checksum(file.data() + npy_header, file.size() - npy_header));
    header += std::string(table > 0 ? ", " : "") + "\"" +
              morvel::index_table_names[table] + "\": \"" + sum + "\"";
  }
  return header + "}}";
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: morvel_format_seeds DIRECTORY\n");
    return 2;
  }
  const Seed seeds[] = {{"one-leaf", 60, 8, 1, 4, false},
                        {"leaves", 200, 6, 1, 3, false},
                        {"stride", 300, 10, 3, 10, false},
                        {"w-of-one", 90, 12, 1, 1, false},
                        {"version-1", 100, 8, 1, 4, true}};
  std::uint64_t seed = 1;
  for (const Seed &one : seeds) {
    const morvel::IndexShape shape =
        morvel::plan_index(one.length, one.window, one.stride, one.w);
    const std::vector<double> ts = series(one.length, seed++);
    const morvel::BuiltIndex built =
        morvel::build_index(shape, ts.data(), 1, [](std::int64_t) {});
    morvel::fuzzing::SavedFiles files = morvel::compose_index_files(
        shape, ts.data(), built.tables(), std::string(32, 'c'));
    if (one.version_one)
      files[0] = version_one_header(shape, files);
    // A seed that does not load would leave the fuzzer at the checks.
    const morvel::fuzzing::Held held(files);
    morvel::load_index(held.header, held.files);
    std::ofstream out(std::string(argv[1]) + "/seed-" + one.name,
                      std::ios::binary);
    const std::string input = morvel::fuzzing::joined(files);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
    if (!out)
      return 1;
  }
  return 0;
}
