// The heap searches as strategies: the best `places` windows at once, or
// one round per place outside the zones of the answers so far.
#include "search_heap.hpp"
#include "search_strategies.hpp"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace morvel::detail {
namespace {

// Every window may be kept, and nothing is worth remembering.
struct Everyone {
  bool admits(std::uint32_t) const { return true; }
  const double *known(std::uint32_t) const { return nullptr; }
  void remember(std::uint32_t, double) {}
};

// Only windows outside the zones of the answers so far; the distances
// computed are kept for the rounds after.
struct OutsideZones {
  const Answers &answers;
  std::unordered_map<std::uint32_t, double> distances;
  bool admits(std::uint32_t window) const { return answers.free(window); }
  const double *known(std::uint32_t window) const {
    const auto at = distances.find(window);
    return at == distances.end() ? nullptr : &at->second;
  }
  void remember(std::uint32_t window, double distance) {
    distances.emplace(window, distance);
  }
};

} // namespace

void search_nearest(const SearchTask &task, bool exact, Answers &answers) {
  Everyone everyone;
  HeapSearch<Everyone> search(task, answers.places(), everyone);
  search.run(exact);
  for (const Found &found : search.sorted())
    answers.offer(found);
}

void search_rounds(const SearchTask &task, Answers &answers) {
  OutsideZones outside{answers, {}};
  while (!answers.full()) {
    HeapSearch<OutsideZones> search(task, 1, outside);
    for (const auto &[window, distance] : outside.distances)
      if (answers.free(window))
        search.offer({distance, window});
    search.run(false);
    const std::vector<Found> best = search.sorted();
    if (best.empty())
      break;
    answers.offer(best.front());
  }
}

} // namespace morvel::detail
