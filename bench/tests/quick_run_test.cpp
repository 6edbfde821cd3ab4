// Runs the benchmark program's fast families in quick mode and checks that
// they feed every figure of the table they own: a renamed counter or a family
// that fails against the simulated chip would otherwise show only as
// "missing" or "error" in a table nobody reads in CI.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "figures.h"
#include "results.h"

namespace vexa_bench {
namespace {

const char kFastFamilies[] = "^(tx|eeprom|handle/(open|list))";

TEST(QuickRun, FastFamiliesFeedEveryFigureTheyOwn) {
  const std::string out = ::testing::TempDir() + "vexa_bench_quick.json";
  const std::string command = std::string(VEXA_BENCH_PROGRAM) + " --quick '--benchmark_filter=" +
                              kFastFamilies + "' --benchmark_out=" + out +
                              " --benchmark_out_format=json >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(out);
  const Results results = ParseResults(nlohmann::json::parse(in, nullptr, false));

  const std::regex fast(kFastFamilies);
  size_t checked = 0;
  for (const Figure &figure : StandardFigures()) {
    if (!std::regex_search(figure.measured.benchmark, fast)) continue;
    const Row row = Evaluate(figure, results);
    EXPECT_NE(row.measured, "missing") << figure.title;
    EXPECT_EQ(row.measured.find("error"), std::string::npos) << figure.title << row.measured;
    EXPECT_TRUE(figure.baseline.empty() || row.baseline != "missing") << figure.title;
    ++checked;
  }
  EXPECT_EQ(checked, 27u);  // transmit, open, listing, and 24 EEPROM figures

  // Transfer counts come from the chip's log: a 64-word single-channel part
  // is programmed with one erase, 64 writes and a 64-word read-back.
  const auto &eeprom = results.at("eeprom/r4/w64").values;
  EXPECT_EQ(eeprom.at("program_transfers"), 129);
  EXPECT_EQ(eeprom.at("read_transfers"), 64);
  EXPECT_GT(results.at("tx/library").values.at("bytes_per_second"), 0);
}

}  // namespace
}  // namespace vexa_bench
