// Prints the markdown table of a benchmark run from Google Benchmark's JSON
// output. Usage: vexa_bench_summary RESULTS.json
#include <fstream>
#include <iostream>
#include <sstream>

#include "figures.h"
#include "results.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: vexa_bench_summary RESULTS.json\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << "vexa_bench_summary: cannot read " << argv[1] << "\n";
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json document = vexa_bench::ParseBenchmarkJson(text.str());
  if (document.is_discarded()) {
    std::cerr << "vexa_bench_summary: " << argv[1] << " is not JSON\n";
    return 1;
  }
  const vexa_bench::Results results = vexa_bench::ParseResults(document);
  std::vector<vexa_bench::Row> rows;
  for (const vexa_bench::Figure &figure : vexa_bench::StandardFigures())
    rows.push_back(vexa_bench::Evaluate(figure, results));
  std::cout << vexa_bench::MarkdownTable(rows);
  return 0;
}
