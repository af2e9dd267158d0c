// Replays fuzzer inputs without libFuzzer: each argument is a file, or a
// directory whose files are replayed in name order. `--random COUNT SEED`
// instead drives the harness with COUNT generated inputs: random walks on
// offsets from 0 to 1e12, with steps from 2^-1070 to 2^310, constant
// stretches, jumps, NaN and infinities, under shapes small enough to check
// quickly.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size);

namespace {

std::vector<std::uint8_t> generated(std::mt19937_64 &rng) {
  auto uniform = [&rng](std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(rng);
  };
  std::normal_distribution<double> normal(0.0, 1.0);
  const auto length = static_cast<std::size_t>(uniform(0, 600));
  const std::int32_t header[4] = {
      static_cast<std::int32_t>(uniform(0, 8) == 0 ? uniform(-2, 700)
                                                   : uniform(1, 160)),
      static_cast<std::int32_t>(uniform(0, 3) == 0 ? uniform(-3, 50) : 1),
      static_cast<std::int32_t>(uniform(0, 40)),
      static_cast<std::int32_t>(uniform(0, 24))};
  const double offsets[] = {0.0, 1.0, 1e3, 1e6, 1e12, -1e9};
  const double offset = offsets[uniform(0, 5)];
  // Mostly ordinary steps; now and then near the ends of the range the
  // letters' bound serves, and beyond.
  const double scale =
      std::ldexp(1.0, static_cast<int>(uniform(0, 3) == 0 ? uniform(-1070, 310)
                                                          : uniform(-30, 30)));
  std::vector<double> ts(length);
  double level = 0.0;
  for (double &value : ts) {
    switch (uniform(0, 200)) {
    case 0:
      value = std::numeric_limits<double>::quiet_NaN();
      continue;
    case 1:
      value = std::numeric_limits<double>::infinity();
      continue;
    case 2:
      level = 0.0; // a jump back to the offset
      break;
    case 3:
    case 4:
    case 5:
      break; // a repeated value: constant stretches
    default:
      level += normal(rng) * scale;
    }
    value = offset + level;
  }
  std::vector<std::uint8_t> bytes(sizeof header + length * sizeof(double));
  std::memcpy(bytes.data(), header, sizeof header);
  if (length > 0)
    std::memcpy(bytes.data() + sizeof header, ts.data(),
                length * sizeof(double));
  return bytes;
}

} // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::string(argv[1]) == "--random") {
    const long long count = std::stoll(argv[2]);
    std::mt19937_64 rng(std::stoull(argv[3]));
    for (long long i = 0; i < count; ++i) {
      const auto bytes = generated(rng);
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("checked %lld generated inputs\n", count);
    return 0;
  }
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto &entry : std::filesystem::directory_iterator(path))
        inputs.push_back(entry.path());
    } else {
      inputs.push_back(path);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto &path : inputs) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()),
                           bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
