// What a search answers, the same for every way of searching: the answer
// order (distance, then the lower window; windows with no shape last, in
// window order) and the greedy choice under exclusion zones (each window
// taken is the first in that order whose start is more than `exclude` from
// every start taken before it).
#pragma once

#include "morvel/index.hpp"

#include <cstdint>
#include <limits>
#include <set>
#include <vector>

namespace morvel::detail {

// A window with its exact distance, ordered as answers are.
struct Found {
  double distance;
  std::uint32_t window;
  bool operator<(const Found &other) const {
    return distance < other.distance ||
           (distance == other.distance && window < other.window);
  }
};

// The exclusion rule: two starts shut each other out when they are
// `exclude` or fewer positions apart.
inline bool apart(std::int64_t a, std::int64_t b, std::int64_t exclude) {
  return a - b > exclude || b - a > exclude;
}

// The zones of the starts taken so far: a start is free when it is apart
// from every one of them.
class Zones {
public:
  explicit Zones(std::int64_t exclude) : exclude_(exclude) {}
  // O(log taken).
  bool free(std::int64_t start) const {
    const auto after = taken_.lower_bound(start - exclude_);
    return after == taken_.end() || *after > start + exclude_;
  }
  void take(std::int64_t start) { taken_.insert(start); }

private:
  std::int64_t exclude_;
  std::set<std::int64_t> taken_;
};

// The answers chosen so far, at most `places` of them.
class Answers {
public:
  Answers(const IndexShape &shape, std::int64_t exclude, std::int64_t places)
      : stride_(shape.stride),
        // Any two starts are less than the series' length apart, so a wider
        // zone shuts out no more, and start +- exclude stays within 64 bits.
        exclude_(std::min(exclude, shape.length)), places_(places),
        zones_(exclude_) {}

  bool full() const {
    return static_cast<std::int64_t>(found_.size()) >= places_;
  }
  // Whether no window taken so far shuts `window` out. O(log taken).
  bool free(std::uint32_t window) const {
    return zones_.free(static_cast<std::int64_t>(window) * stride_);
  }
  // Takes `found` when there is room and it is free: offered in answer
  // order, this is the greedy choice. Returns whether it was taken.
  bool offer(const Found &found) {
    if (full() || !free(found.window))
      return false;
    found_.push_back(found);
    zones_.take(static_cast<std::int64_t>(found.window) * stride_);
    return true;
  }
  // The windows with no shape, after every window with a distance.
  void offer_shapeless(const IndexTables &tables) {
    for (std::int64_t i = 0; i < tables.shapeless_count && !full(); ++i)
      offer({std::numeric_limits<double>::quiet_NaN(), tables.shapeless[i]});
  }
  // The answers into `places` distances and starts, a place no window
  // filled at NaN and -1.
  void write(double *distances, std::int64_t *starts) const {
    for (std::int64_t i = 0; i < places_; ++i) {
      const bool filled = i < static_cast<std::int64_t>(found_.size());
      distances[i] = filled ? found_[static_cast<std::size_t>(i)].distance
                            : std::numeric_limits<double>::quiet_NaN();
      starts[i] = filled ? static_cast<std::int64_t>(
                               found_[static_cast<std::size_t>(i)].window) *
                               stride_
                         : -1;
    }
  }
  std::int64_t places() const { return places_; }
  bool excludes() const { return exclude_ > 0; }

private:
  std::int64_t stride_;
  std::int64_t exclude_;
  std::int64_t places_;
  std::vector<Found> found_;
  Zones zones_; // of the starts taken
};

} // namespace morvel::detail
