// The distance between words: tables of squared cells, and a walk over the
// broadcast pairs that adds several distances side by side, each of them in
// its own letters' order.
#include "morvel/mindist.hpp"

#include "morvel/alphabet.hpp"
#include "morvel/morvel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace morvel {

namespace {

[[noreturn]] void refuse(const std::string &message) {
  throw std::invalid_argument(message);
}

// Distances computed side by side: enough independent sums to hide the
// latency of an addition.
constexpr std::size_t side_by_side = 8;

constexpr std::size_t largest_count =
    static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());

constexpr double not_a_letter = std::numeric_limits<double>::quiet_NaN();

// A word's place: its first letter (or mean) and the step to the next.
struct WordPlace {
  const char *first;
  std::ptrdiff_t step;
};

char letter_at(WordPlace word, std::size_t i) {
  return word.first[static_cast<std::ptrdiff_t>(i) * word.step];
}

double mean_at(WordPlace word, std::size_t i) {
  double mean;
  std::memcpy(&mean, word.first + static_cast<std::ptrdiff_t>(i) * word.step,
              sizeof mean);
  return mean;
}

// A NaN distance comes from a NaN mean, or from a byte that is no letter:
// the latter is refused.
void check_letters(WordPlace word, std::size_t w, const Alphabet &alphabet) {
  for (std::size_t i = 0; i < w; ++i)
    if (alphabet.index(letter_at(word, i)) == alphabet.letters())
      alphabet.refuse(letter_at(word, i));
}

// Distances along one run of pairs: n pairs, a's and b's words `a_step` and
// `b_step` bytes apart.
class Walk {
public:
  Walk(const DistancePlan &plan, const WordArray &a, const WordArray &b)
      : alphabet_(plan.alpha), w_(plan.w), means_(a.means),
        a_letter_step_(a.strides.back()), b_letter_step_(b.strides.back()),
        factor_(std::sqrt(static_cast<double>(plan.window) /
                          static_cast<double>(plan.w))) {}

  void run(const char *a, std::ptrdiff_t a_step, const char *b,
           std::ptrdiff_t b_step, std::size_t n, double *out) {
    if (w_ == 0) {
      for (std::size_t j = 0; j < n; ++j)
        out[j] = 0.0;
      return;
    }
    // One word against many: its cells against every byte are tabled once,
    // so each letter of the many costs one load.
    const bool one_word = a_step == 0 && n >= 256 && w_ <= 256;
    if (one_word)
      table_word({a, a_letter_step_});
    for (std::size_t first = 0; first < n; first += side_by_side) {
      const std::size_t lanes =
          n - first < side_by_side ? n - first : side_by_side;
      WordPlace as[side_by_side];
      WordPlace bs[side_by_side];
      for (std::size_t j = 0; j < lanes; ++j) {
        as[j] = {a + static_cast<std::ptrdiff_t>(first + j) * a_step,
                 a_letter_step_};
        bs[j] = {b + static_cast<std::ptrdiff_t>(first + j) * b_step,
                 b_letter_step_};
      }
      double sums[side_by_side] = {};
      if (one_word && lanes == side_by_side)
        add_tabled(bs, sums);
      else
        add_each(as, bs, lanes, sums);
      for (std::size_t j = 0; j < lanes; ++j) {
        if (std::isnan(sums[j])) {
          check_letters(bs[j], w_, alphabet_);
          if (!means_)
            check_letters(as[j], w_, alphabet_);
        }
        out[first + j] = factor_ * std::sqrt(sums[j]);
      }
    }
  }

private:
  void table_word(WordPlace a) {
    table_.assign(w_ * 256, not_a_letter);
    for (std::size_t i = 0; i < w_; ++i) {
      double *row = table_.data() + i * 256;
      for (std::size_t c = 0; c < alphabet_.letters(); ++c)
        row['a' + c] =
            means_
                ? alphabet_.squared_cell(mean_at(a, i), c)
                : alphabet_.squared_cell(alphabet_.index(letter_at(a, i)), c);
    }
  }

  void add_tabled(const WordPlace *bs, double *sums) const {
    for (std::size_t i = 0; i < w_; ++i) {
      const double *row = table_.data() + i * 256;
      for (std::size_t j = 0; j < side_by_side; ++j)
        sums[j] += row[static_cast<unsigned char>(letter_at(bs[j], i))];
    }
  }

  void add_each(const WordPlace *as, const WordPlace *bs, std::size_t lanes,
                double *sums) const {
    for (std::size_t i = 0; i < w_; ++i)
      for (std::size_t j = 0; j < lanes; ++j) {
        const std::size_t c = alphabet_.index(letter_at(bs[j], i));
        sums[j] += means_ ? alphabet_.squared_cell(mean_at(as[j], i), c)
                          : alphabet_.squared_cell(
                                alphabet_.index(letter_at(as[j], i)), c);
      }
  }

  Alphabet alphabet_;
  std::size_t w_;
  bool means_;
  std::ptrdiff_t a_letter_step_;
  std::ptrdiff_t b_letter_step_;
  double factor_;
  std::vector<double> table_;
};

// An operand's step along each axis of the broadcast shape: 0 where it is
// repeated.
std::vector<std::ptrdiff_t> steps_along(const WordArray &operand,
                                        const std::vector<std::size_t> &shape) {
  std::vector<std::ptrdiff_t> steps(shape.size(), 0);
  const std::size_t axes = operand.shape.size() - 1;
  for (std::size_t k = 0; k < axes; ++k)
    if (operand.shape[k] != 1)
      steps[shape.size() - axes + k] = operand.strides[k];
  return steps;
}

} // namespace

DistancePlan plan_mindist(const WordArray &a, const WordArray &b,
                          std::int32_t window, std::int32_t alpha) {
  if (window <= 0)
    refuse("window must be positive, not " + std::to_string(window));
  check_alphabet(alpha);
  if (b.means)
    refuse("b must hold letters");
  if (a.shape.empty() || b.shape.empty())
    refuse("words need an axis of letters: a has shape " + shape_text(a.shape) +
           " and b " + shape_text(b.shape));
  if (a.shape.back() != b.shape.back())
    refuse("words of different lengths: a has " +
           std::to_string(a.shape.back()) + " letters per word and b " +
           std::to_string(b.shape.back()));
  DistancePlan plan;
  plan.window = window;
  plan.alpha = alpha;
  plan.w = a.shape.back();
  const std::size_t a_axes = a.shape.size() - 1;
  const std::size_t b_axes = b.shape.size() - 1;
  const std::size_t axes = a_axes > b_axes ? a_axes : b_axes;
  plan.shape.assign(axes, 1);
  for (std::size_t k = 0; k < axes; ++k) {
    const std::size_t from_a =
        k + a_axes >= axes ? a.shape[k + a_axes - axes] : 1;
    const std::size_t from_b =
        k + b_axes >= axes ? b.shape[k + b_axes - axes] : 1;
    if (from_a != from_b && from_a != 1 && from_b != 1)
      refuse("the words of a " +
             shape_text({a.shape.begin(), a.shape.end() - 1}) + " and of b " +
             shape_text({b.shape.begin(), b.shape.end() - 1}) +
             " cannot be broadcast together");
    plan.shape[k] = from_a == 1 ? from_b : from_a;
  }
  // Counted only where it cannot wrap: no array holds more elements than a
  // signed size counts, and a shape of no pairs holds none, however long its
  // other axes.
  const bool empty = std::find(plan.shape.begin(), plan.shape.end(),
                               std::size_t{0}) != plan.shape.end();
  plan.count = empty ? 0 : 1;
  for (std::size_t k = 0; k < axes && !empty; ++k) {
    if (plan.count > largest_count / plan.shape[k])
      throw allocation_error();
    plan.count *= plan.shape[k];
  }
  return plan;
}

void mindist(const DistancePlan &plan, const WordArray &a, const WordArray &b,
             double *out) {
  if (plan.count == 0)
    return;
  Walk walk(plan, a, b);
  const auto *a_data = static_cast<const char *>(a.data);
  const auto *b_data = static_cast<const char *>(b.data);
  if (plan.shape.empty()) {
    walk.run(a_data, 0, b_data, 0, 1, out);
    return;
  }
  const std::vector<std::ptrdiff_t> a_steps = steps_along(a, plan.shape);
  const std::vector<std::ptrdiff_t> b_steps = steps_along(b, plan.shape);
  const std::size_t last = plan.shape.size() - 1;
  const std::size_t run_length = plan.shape[last];
  // The outer axes counted like an odometer, the last one walked whole.
  std::vector<std::size_t> index(last, 0);
  for (std::size_t done = 0; done < plan.count; done += run_length) {
    const char *a_run = a_data;
    const char *b_run = b_data;
    for (std::size_t k = 0; k < last; ++k) {
      a_run += static_cast<std::ptrdiff_t>(index[k]) * a_steps[k];
      b_run += static_cast<std::ptrdiff_t>(index[k]) * b_steps[k];
    }
    walk.run(a_run, a_steps[last], b_run, b_steps[last], run_length,
             out + done);
    for (std::size_t k = last; k-- > 0;) {
      if (++index[k] < plan.shape[k])
        break;
      index[k] = 0;
    }
  }
}

} // namespace morvel
