// The tiled kernel against the literal per-window loop, on the core alone:
// a 100,000-value random walk, window 128, w 15 (99,873 windows).
#include <morvel/morvel.hpp>
#include <morvel/plan.hpp>
#include <morvel/reference.hpp>

#include "grid.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <type_traits>
#include <vector>

namespace {

const std::vector<double> &walk() {
  static const std::vector<double> ts = [] {
    std::mt19937_64 rng(1);
    std::normal_distribution<double> step(0.0, 1.0);
    std::vector<double> values(100000);
    double level = 0.0;
    for (double &value : values)
      value = level += step(rng);
    return values;
  }();
  return ts;
}

constexpr std::int32_t window = 128;
constexpr std::int32_t w = 15;

void set_counters(benchmark::State &state) {
  const double windows = static_cast<double>(walk().size() - window + 1);
  state.counters["windows/s"] = benchmark::Counter(
      windows, benchmark::Counter::kIsIterationInvariantRate);
}

void literal_paa(benchmark::State &state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(morvel::paa_reference(walk(), window, 1, w));
  set_counters(state);
}

void literal_sax(benchmark::State &state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(morvel::sax_reference(walk(), window, 1, w, 4));
  set_counters(state);
}

void tiled_paa(benchmark::State &state, morvel::InstructionSet set) {
  for (auto _ : state)
    benchmark::DoNotOptimize(morvel::testing::paa_grid(
        walk().data(), walk().size(), window, 1, w, {set}));
  set_counters(state);
}

void tiled_sax(benchmark::State &state, morvel::InstructionSet set) {
  for (auto _ : state)
    benchmark::DoNotOptimize(morvel::testing::sax_grid(
        walk().data(), walk().size(), window, 1, w, 4, {set}));
  set_counters(state);
}

void strided_paa(benchmark::State &state, morvel::InstructionSet set) {
  for (auto _ : state)
    benchmark::DoNotOptimize(morvel::testing::paa_grid(
        walk().data(), walk().size(), window, 3, w, {set}));
}

// The kernels alone, on this CPU's widest instruction set: every tile handed
// to a sink that keeps nothing, so no result is stored anywhere. Letters
// as the plan decides them, or every one walked.
template <typename T>
void kernel_alone(benchmark::State &state, morvel::Letters letters) {
  const morvel::Plan plan =
      std::is_same_v<T, double>
          ? morvel::plan_paa(walk().size(), window, 1, w)
          : morvel::plan_sax(walk().size(), window, 1, w, 4,
                             {morvel::best_instruction_set(),
                              morvel::Layout::automatic, letters});
  const morvel::TileSink<T> discard = [](std::size_t, std::size_t,
                                         const T *cells) {
    benchmark::DoNotOptimize(cells);
  };
  for (auto _ : state)
    benchmark::DoNotOptimize(morvel::run(plan, walk().data(), discard));
  set_counters(state);
}

} // namespace

int main(int argc, char **argv) {
  benchmark::RegisterBenchmark("literal/paa", literal_paa)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("literal/sax", literal_sax)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("kernel/paa", kernel_alone<double>,
                               morvel::Letters::automatic)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("kernel/sax", kernel_alone<char>,
                               morvel::Letters::automatic)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("kernel/sax/walked", kernel_alone<char>,
                               morvel::Letters::walked)
      ->Unit(benchmark::kMillisecond);
  for (const auto set : morvel::usable_instruction_sets()) {
    const std::string name = morvel::instruction_set_name(set);
    benchmark::RegisterBenchmark("tiled/paa/" + name, tiled_paa, set)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("tiled/sax/" + name, tiled_sax, set)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("tiled/paa-stride-3/" + name, strided_paa, set)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
