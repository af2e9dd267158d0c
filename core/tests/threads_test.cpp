// Eight threads calling the core at once agree with one thread. Built under
// ThreadSanitizer (make sanitize), this also shows the core shares nothing
// mutable between calls.
#include <morvel/morvel.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace {

struct Call {
  std::int32_t window, stride, w, alpha;
};

TEST(Threads, EightThreadsMatchOne) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> step(0.0, 1.0);
  std::vector<double> ts(5000);
  double level = 0.0;
  for (double &value : ts)
    value = level += step(rng);

  std::vector<Call> calls;
  for (std::int32_t i = 0; i < 64; ++i)
    calls.push_back({8 + i % 50, 1 + i % 4, 1 + i % 20, i % 25});
  std::vector<morvel::Rows> means(calls.size());
  std::vector<morvel::Words> words(calls.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const Call &c = calls[i];
    means[i] = morvel::paa(ts, c.window, c.stride, c.w);
    words[i] = morvel::sax(ts, c.window, c.stride, c.w, c.alpha);
  }

  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < calls.size(); i += 4) { // overlapping shares
        const Call &c = calls[i % calls.size()];
        mismatches[t] += morvel::paa(ts, c.window, c.stride, c.w) != means[i];
        mismatches[t] +=
            morvel::sax(ts, c.window, c.stride, c.w, c.alpha) != words[i];
      }
    });
  }
  for (auto &thread : threads)
    thread.join();
  for (int count : mismatches)
    EXPECT_EQ(count, 0);
}

} // namespace
