// Letters decided from the bound against letters walked, in one run on one
// machine: the time of each for the shapes, and the share of letters
// the bound leaves to the walk on a random walk, the shipped sunspot and
// heart-rate series, a series on a large offset, and one whose segment means
// sit within a few ulps of a breakpoint. Writes a markdown table.
//
//   morvel_letters_bench DATA_DIR [OUT.md]
#include <morvel/plan.hpp>
#include <morvel/reference.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<double> random_walk(std::size_t length, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> step(0.0, 1.0);
  std::vector<double> values(length);
  double level = 0.0;
  for (double &value : values)
    value = level += step(rng);
  return values;
}

// Column `column` of a CSV file with a header line.
std::vector<double> read_column(const std::string &path, int column) {
  std::ifstream file(path);
  if (!file)
    throw std::runtime_error("cannot read " + path);
  std::string line;
  std::getline(file, line);
  std::vector<double> values;
  while (std::getline(file, line)) {
    std::stringstream fields(line);
    std::string field;
    for (int i = 0; i <= column; ++i)
      std::getline(fields, field, ',');
    values.push_back(std::stod(field));
  }
  return values;
}

// Tumbling windows of n values, one segment of each moved until its mean,
// as the walk computes it, lands within an ulp or two of a breakpoint (a
// secant search on a shift of that segment's block).
std::vector<double> near_breakpoints(std::size_t windows, std::int32_t n,
                                     std::int32_t w, std::int32_t alpha) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal(0.0, 1.0);
  const morvel::BreakpointRow cuts = morvel::breakpoints(alpha);
  std::vector<double> ts;
  for (std::size_t i = 0; i < windows; ++i) {
    std::vector<double> x(static_cast<std::size_t>(n));
    for (double &v : x)
      v = normal(rng);
    const auto j = static_cast<std::int32_t>(i % static_cast<std::size_t>(w));
    const double target = cuts.values[i % static_cast<std::size_t>(cuts.size)];
    const std::int32_t from = j * n / w;
    const std::int32_t to = ((j + 1) * n + w - 1) / w;
    auto miss = [&](double shift) {
      std::vector<double> y = x;
      for (std::int32_t k = from; k < to; ++k)
        y[static_cast<std::size_t>(k)] += shift;
      return morvel::paa_reference(y, n, 1, w)[0][static_cast<std::size_t>(j)] -
             target;
    };
    double a = 0.0, fa = miss(a);
    double b = 0.1, fb = miss(b);
    for (int round = 0; round < 60 && fb != 0.0 && fb != fa; ++round) {
      const double c = b - fb * (b - a) / (fb - fa);
      a = b;
      fa = fb;
      b = c;
      fb = miss(b);
    }
    for (std::int32_t k = from; k < to; ++k)
      x[static_cast<std::size_t>(k)] += b;
    ts.insert(ts.end(), x.begin(), x.end());
  }
  return ts;
}

double best_ms(const morvel::Plan &plan, const std::vector<double> &ts,
               std::vector<char> &cells, int repeats) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    morvel::run(plan, ts.data(), cells.data());
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

struct Shape {
  const char *series;
  const std::vector<double> *ts;
  std::int32_t window, stride, w, alpha;
};

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::cerr << "usage: morvel_letters_bench DATA_DIR [OUT.md]\n";
    return 2;
  }
  const std::string data = argv[1];
  const auto walk = random_walk(100000, 1);
  const auto sunspots = read_column(data + "/sunspots.csv", 1);
  const auto heart = read_column(data + "/internal-bleeding.csv", 1);
  std::vector<double> offset = random_walk(100000, 2);
  for (double &v : offset)
    v = 1e12 + v * 1e-3;
  const auto near = near_breakpoints(2000, 128, 4, 4);

  std::ostringstream out;
  out << "| series | N | window | stride | w | alpha | walked ms | certified "
         "ms | ratio | letters walked |\n|---|---|---|---|---|---|---|---|---|"
         "---|\n";
  const Shape shapes[] = {
      {"random walk", &walk, 128, 1, 15, 4},
      {"random walk", &walk, 2048, 1, 16, 4},
      {"random walk", &walk, 128, 1, 128, 24},
      {"random walk", &walk, 128, 1, 15, 24},
      {"sunspots", &sunspots, 33, 1, 11, 5},
      {"heart rate", &heart, 128, 1, 16, 8},
      {"offset 1e12, sd 1e-3", &offset, 128, 1, 15, 4},
      {"near breakpoints", &near, 128, 128, 4, 4},
  };
  // A third argument repeats one shape's certified run, for a profiler.
  if (argc > 3) {
    const Shape &shape = shapes[std::stoi(argv[3])];
    const morvel::Plan plan = morvel::plan_sax(
        shape.ts->size(), shape.window, shape.stride, shape.w, shape.alpha);
    std::vector<char> cells(plan.shape.rows * plan.shape.columns);
    std::cout << best_ms(plan, *shape.ts, cells, 100) << " ms\n";
    return 0;
  }
  for (const Shape &shape : shapes) {
    const std::vector<double> &ts = *shape.ts;
    const morvel::Plan walked = morvel::plan_sax(
        ts.size(), shape.window, shape.stride, shape.w, shape.alpha,
        {morvel::best_instruction_set(), morvel::Layout::automatic,
         morvel::Letters::walked});
    const morvel::Plan certified = morvel::plan_sax(
        ts.size(), shape.window, shape.stride, shape.w, shape.alpha,
        {morvel::best_instruction_set(), morvel::Layout::automatic,
         morvel::Letters::certified});
    std::vector<char> expected(walked.shape.rows * walked.shape.columns);
    std::vector<char> got(expected.size());
    const int repeats = ts.size() > 10000 ? 5 : 50;
    const double walked_ms = best_ms(walked, ts, expected, repeats);
    const double certified_ms = best_ms(certified, ts, got, repeats);
    if (got != expected) {
      std::cerr << "certified letters differ from the walk's on "
                << shape.series << "\n";
      return 1;
    }
    morvel::LetterTally tally;
    morvel::run(
        certified, ts.data(), [](std::size_t, std::size_t, const char *) {},
        &tally);
    const double share = 100.0 * static_cast<double>(tally.walked) /
                         static_cast<double>(tally.walked + tally.certified);
    char line[512];
    std::snprintf(line, sizeof line,
                  "| %s | %zu | %d | %d | %d | %d | %.2f | %.2f | %.1fx | "
                  "%.4f %% |\n",
                  shape.series, ts.size(), shape.window, shape.stride, shape.w,
                  shape.alpha, walked_ms, certified_ms,
                  walked_ms / certified_ms, share);
    out << line;
  }
  std::cout << out.str();
  if (argc > 2)
    std::ofstream(argv[2]) << out.str();
  return 0;
}
