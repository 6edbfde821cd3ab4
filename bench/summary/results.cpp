#include "results.h"

#include <sstream>

namespace vexa_bench {

namespace {

double UnitSeconds(const std::string &unit) {
  if (unit == "ns") return 1e-9;
  if (unit == "us") return 1e-6;
  if (unit == "ms") return 1e-3;
  return 1.0;
}

// Fields of a run entry that are bookkeeping, not measurements.
bool IsBookkeeping(const std::string &field) {
  return field == "family_index" || field == "per_family_instance_index" ||
         field == "repetitions" || field == "repetition_index" || field == "threads" ||
         field == "iterations" || field == "real_time" || field == "cpu_time";
}

Result ResultOf(const nlohmann::json &entry) {
  Result result;
  if (entry.value("error_occurred", false)) {
    result.error = true;
    result.error_message = entry.value("error_message", std::string("error"));
  }
  for (auto it = entry.begin(); it != entry.end(); ++it) {
    if (it.value().is_number() && !IsBookkeeping(it.key())) result.values[it.key()] = it.value().get<double>();
  }
  if (entry.contains("real_time") && entry["real_time"].is_number()) {
    result.values["real_time_s"] =
        entry["real_time"].get<double>() * UnitSeconds(entry.value("time_unit", std::string("ns")));
  }
  return result;
}

}  // namespace

std::string BenchmarkKey(const std::string &run_name) {
  std::stringstream in(run_name);
  std::string part, key;
  while (std::getline(in, part, '/')) {
    if (part.find(':') != std::string::npos || part == "real_time" || part == "manual_time") continue;
    if (!key.empty()) key += '/';
    key += part;
  }
  return key;
}

nlohmann::json ParseBenchmarkJson(const std::string &text) {
  // Outside strings only: a benchmark's name may contain these words too.
  std::string cleaned;
  cleaned.reserve(text.size());
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      cleaned += c;
      if (c == '\\' && i + 1 < text.size()) cleaned += text[++i];
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') in_string = true;
    bool replaced = false;
    for (const char *word : {"-Infinity", "Infinity", "-NaN", "NaN", "-nan", "nan", "-inf", "inf"}) {
      const std::string w = word;
      if (text.compare(i, w.size(), w) == 0) {
        cleaned += "null";
        i += w.size() - 1;
        replaced = true;
        break;
      }
    }
    if (!replaced) cleaned += c;
  }
  return nlohmann::json::parse(cleaned, nullptr, false);
}

Results ParseResults(const nlohmann::json &document) {
  Results results;
  std::map<std::string, bool> from_median;
  if (!document.contains("benchmarks") || !document["benchmarks"].is_array()) return results;
  for (const nlohmann::json &entry : document["benchmarks"]) {
    const std::string run_name = entry.value("run_name", entry.value("name", std::string()));
    const std::string key = BenchmarkKey(run_name);
    const bool aggregate = entry.value("run_type", std::string("iteration")) == "aggregate";
    if (aggregate) {
      if (entry.value("aggregate_name", std::string()) != "median") continue;
      results[key] = ResultOf(entry);
      from_median[key] = true;
    } else if (!from_median[key]) {
      // A run that failed stays failed even if a later repetition passed.
      Result result = ResultOf(entry);
      if (results.count(key) && results[key].error && !result.error) continue;
      results[key] = result;
    }
  }
  return results;
}

}  // namespace vexa_bench
