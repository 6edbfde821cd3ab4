// Google Benchmark's JSON output, reduced to one set of numbers per benchmark.
#ifndef VEXA_BENCH_RESULTS_H
#define VEXA_BENCH_RESULTS_H

#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace vexa_bench {

struct Result {
  std::map<std::string, double> values;  // counters, bytes_per_second, real_time_s
  bool error = false;
  std::string error_message;
};

// Keyed by the benchmark's registered name without the settings Google
// Benchmark appends ("/iterations:3", "/real_time", ...).
using Results = std::map<std::string, Result>;

// Parses Google Benchmark's JSON output. It writes NaN and Infinity as bare
// words (the coefficient of variation of a counter that is always 0, for
// one), which JSON does not have: those values are read as null. Returns a
// discarded value when the text is not JSON even so.
nlohmann::json ParseBenchmarkJson(const std::string &text);

// The name a run is filed under.
std::string BenchmarkKey(const std::string &run_name);

// Takes the median aggregate of a benchmark where repetitions produced one,
// otherwise its single run. real_time is converted to seconds (real_time_s).
Results ParseResults(const nlohmann::json &document);

}  // namespace vexa_bench

#endif  // VEXA_BENCH_RESULTS_H
