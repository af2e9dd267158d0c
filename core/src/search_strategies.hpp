// The ways a query is searched. Each finds windows with their exact
// distances and offers them to the answers in answer order; which one a
// query takes is decided once, by choose_strategy.
#pragma once

#include "morvel/index.hpp"
#include "search_answers.hpp"
#include "search_bound.hpp"

#include <cstdint>
#include <optional>

namespace morvel::detail {

// What every strategy reads.
struct SearchTask {
  const IndexShape &shape;
  const IndexTables &tables;
  const double *ts;
  const Query &query;
  std::optional<double> within; // farther windows are not wanted
  SearchStats &stats;
  // Optional boxes of blocks of word_block_size ranked words, which a
  // search of many queries makes once: each bounds its block's words at
  // once, as a leaf's box bounds its leaf's.
  const std::uint8_t *blocks = nullptr;
  // Optional moments of every window (by number), which a self-join makes
  // once for its many searches; else each search computes those it needs.
  const double *means = nullptr;
  const double *deviations = nullptr;
};

inline constexpr std::int64_t word_block_size = 8;

enum class Strategy {
  // The best `places` windows, kept in a heap whose worst prunes the rest:
  // for answers that shut nothing out (no exclusion, or one place).
  nearest,
  // Every window in answer order, produced lazily from a queue of bounds,
  // the greedy choice made as they come: exact answers with exclusion.
  ordered,
  // One nearest search per place, among the windows outside the zones so
  // far: exclusion when only the leaves around q's word are searched.
  rounds,
};

inline Strategy choose_strategy(const Answers &answers, bool exact) {
  if (!answers.excludes() || answers.places() <= 1)
    return Strategy::nearest;
  return exact ? Strategy::ordered : Strategy::rounds;
}

// With `exact` false, only the leaves around q's own word are searched.
void search_nearest(const SearchTask &task, bool exact, Answers &answers);
void search_ordered(const SearchTask &task, Answers &answers);
void search_rounds(const SearchTask &task, Answers &answers);

} // namespace morvel::detail
