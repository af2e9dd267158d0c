// The committed golden bits (see golden.hpp), reproduced by every kernel
// and layout this build has, on whatever platform it runs.
#include "golden.hpp"

#include <morvel/morvel.hpp>
#include <morvel/plan.hpp>
#include <morvel/reference.hpp>

#include "grid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

struct Golden {
  std::map<std::string, std::vector<double>> series;
  std::vector<golden::Call> calls;
};

std::uint64_t hex(const std::string &token) {
  return std::stoull(token, nullptr, 16);
}

Golden read_golden() {
  std::ifstream file(MORVEL_GOLDEN_FILE);
  if (!file)
    throw std::runtime_error("cannot open " MORVEL_GOLDEN_FILE);
  Golden golden;
  std::string word;
  while (file >> word) {
    if (word == "#") {
      std::getline(file, word);
    } else if (word == "series") {
      std::string name;
      std::size_t count;
      file >> name >> count;
      auto &values = golden.series[name];
      for (std::size_t i = 0; i < count && file >> word; ++i)
        values.push_back(golden::from_bits(hex(word)));
    } else if (word == "call") {
      golden::Call call;
      file >> call.series >> call.window >> call.stride >> call.w;
      golden.calls.push_back(call);
    } else if (word == "paa") {
      std::size_t rows;
      file >> rows;
      auto &paa = golden.calls.back().paa;
      for (std::size_t i = 0; i < rows; ++i) {
        std::vector<std::uint64_t> row;
        if (golden.calls.back().w == 0)
          file >> word; // "-"
        for (std::int32_t j = 0; j < golden.calls.back().w && file >> word; ++j)
          row.push_back(hex(word));
        paa.push_back(row);
      }
    } else if (word == "sax") {
      golden::Letters letters;
      std::size_t rows;
      file >> letters.alpha >> rows;
      for (std::size_t i = 0; i < rows && file >> word; ++i) {
        if (word == "-")
          word.clear();
        for (char &letter : word)
          letter = letter == '.' ? '\0' : letter;
        letters.rows.push_back(word);
      }
      golden.calls.back().sax.push_back(letters);
    } else {
      throw std::runtime_error("unexpected word in the golden file: " + word);
    }
  }
  return golden;
}

const Golden &golden_file() {
  static const Golden golden = read_golden();
  return golden;
}

// Equal bits; any NaN equals any NaN, whose payload the arithmetic may
// propagate differently from one processor to another.
bool same(double got, std::uint64_t expected) {
  const double want = golden::from_bits(expected);
  return (std::isnan(got) && std::isnan(want)) || golden::bits(got) == expected;
}

class EveryKernelOnTheGoldenFile
    : public ::testing::TestWithParam<
          std::tuple<morvel::InstructionSet, morvel::Layout>> {};

TEST_P(EveryKernelOnTheGoldenFile, ReproducesEveryBit) {
  const morvel::Execution how{std::get<0>(GetParam()), std::get<1>(GetParam())};
  const Golden &golden = golden_file();
  ASSERT_GE(golden.calls.size(), 20u);
  for (const golden::Call &call : golden.calls) {
    const std::vector<double> &ts = golden.series.at(call.series);
    const std::string where =
        call.series + " window " + std::to_string(call.window) + " stride " +
        std::to_string(call.stride) + " w " + std::to_string(call.w);
    const auto paa = morvel::testing::paa_grid(
        ts.data(), ts.size(), call.window, call.stride, call.w, how);
    ASSERT_EQ(paa.rows, call.paa.size()) << where;
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < paa.rows; ++i)
      for (std::size_t j = 0; j < paa.columns; ++j)
        mismatches += !same(paa.cells[i * paa.columns + j], call.paa[i][j]);
    EXPECT_EQ(mismatches, 0u) << where;
    for (const golden::Letters &letters : call.sax) {
      const auto sax =
          morvel::testing::sax_grid(ts.data(), ts.size(), call.window,
                                    call.stride, call.w, letters.alpha, how);
      ASSERT_EQ(sax.rows, letters.rows.size()) << where;
      for (std::size_t i = 0; i < sax.rows; ++i)
        ASSERT_EQ(std::string(sax.cells.begin() +
                                  static_cast<std::ptrdiff_t>(i * sax.columns),
                              sax.cells.begin() + static_cast<std::ptrdiff_t>(
                                                      (i + 1) * sax.columns)),
                  letters.rows[i])
            << where << " alpha " << letters.alpha << " row " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Golden, EveryKernelOnTheGoldenFile,
    ::testing::Combine(::testing::ValuesIn(morvel::usable_instruction_sets()),
                       ::testing::Values(morvel::Layout::automatic,
                                         morvel::Layout::windows,
                                         morvel::Layout::segments,
                                         morvel::Layout::serial)),
    [](const auto &info) {
      return std::string(
                 morvel::instruction_set_name(std::get<0>(info.param))) +
             "_" + morvel::layout_name(std::get<1>(info.param));
    });

// The reference itself, the literal algorithm, on this platform.
TEST(Golden, SerialReferenceReproducesEveryBit) {
  const Golden &golden = golden_file();
  for (const golden::Call &call : golden.calls) {
    const auto rows = morvel::paa_reference(golden.series.at(call.series),
                                            call.window, call.stride, call.w);
    ASSERT_EQ(rows.size(), call.paa.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
      for (std::size_t j = 0; j < rows[i].size(); ++j)
        ASSERT_TRUE(same(rows[i][j], call.paa[i][j]))
            << call.series << " window " << call.window << " row " << i
            << " segment " << j;
  }
}

} // namespace
