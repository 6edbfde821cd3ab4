// The figures the benchmark run reports: what each one measures, against which
// baseline, and the goal it is held to; and their rendering as one markdown table.
#ifndef VEXA_BENCH_FIGURES_H
#define VEXA_BENCH_FIGURES_H

#include <string>
#include <vector>

#include "results.h"

namespace vexa_bench {

enum class Unit { BytesPerSecond, Seconds, Fraction, Count };

enum class Goal {
  None,
  RatioAtLeast,  // measured / baseline >= limit
  RatioAtMost,   // measured / baseline <= limit
  ValueAtLeast,  // measured >= limit
  ValueAtMost,   // measured <= limit
};

// A value: one field of one benchmark's result.
struct Source {
  std::string benchmark;
  std::string field;
  bool empty() const { return benchmark.empty(); }
};

struct Figure {
  std::string title;
  Source measured;
  Source baseline;  // empty: none
  Unit unit = Unit::Count;
  Goal goal = Goal::None;
  double limit = 0;
  std::string goal_text;
  Source extra;  // shown in brackets beside the measured value; empty: none
  Unit extra_unit = Unit::Seconds;
};

struct Row {
  std::string figure, measured, baseline, ratio, goal, met;
};

// Every figure of a full run, in table order.
std::vector<Figure> StandardFigures();

std::string FormatValue(double value, Unit unit);
Row Evaluate(const Figure &figure, const Results &results);
std::string MarkdownTable(const std::vector<Row> &rows);

}  // namespace vexa_bench

#endif  // VEXA_BENCH_FIGURES_H
