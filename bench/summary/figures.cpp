#include "figures.h"

#include <cmath>
#include <cstdio>

namespace vexa_bench {

namespace {

std::string Printf(const char *format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Looks a value up; false when the benchmark or field is missing.
bool Lookup(const Results &results, const Source &source, double *value, const Result **result) {
  auto it = results.find(source.benchmark);
  if (it == results.end()) return false;
  *result = &it->second;
  auto field = it->second.values.find(source.field);
  if (field == it->second.values.end()) return false;
  *value = field->second;
  return true;
}

std::string LimitText(const Figure &figure) {
  if (!figure.goal_text.empty()) return figure.goal_text;
  switch (figure.goal) {
    case Goal::None: return "–";
    case Goal::RatioAtLeast: return "ratio ≥ " + Printf("%g", figure.limit);
    case Goal::RatioAtMost: return "ratio ≤ " + Printf("%g", figure.limit);
    case Goal::ValueAtLeast: return "≥ " + FormatValue(figure.limit, figure.unit);
    case Goal::ValueAtMost: return "≤ " + FormatValue(figure.limit, figure.unit);
  }
  return "–";
}

Figure Throughput(const std::string &title, const std::string &library, const std::string &baseline,
                  double limit, const std::string &goal_text) {
  Figure f;
  f.title = title;
  f.measured = {library, "bytes_per_second"};
  f.baseline = {baseline, "bytes_per_second"};
  f.unit = Unit::BytesPerSecond;
  f.goal = Goal::RatioAtLeast;
  f.limit = limit;
  f.goal_text = goal_text;
  return f;
}

Figure Plain(const std::string &title, Source measured, Source baseline, Unit unit, Goal goal = Goal::None,
             double limit = 0, const std::string &goal_text = "") {
  Figure f;
  f.title = title;
  f.measured = measured;
  f.baseline = baseline;
  f.unit = unit;
  f.goal = goal;
  f.limit = limit;
  f.goal_text = goal_text;
  return f;
}

}  // namespace

std::string FormatValue(double value, Unit unit) {
  switch (unit) {
    case Unit::BytesPerSecond: return Printf("%.2f MB/s", value / 1e6);
    case Unit::Fraction: return Printf("%.2f %%", value * 100);
    // Counts per MiB can be fractions; below ten the fraction is what differs.
    case Unit::Count: return Printf(std::fabs(value) < 10 && value != std::floor(value) ? "%.2f" : "%.0f", value);
    case Unit::Seconds:
      if (std::fabs(value) >= 1) return Printf("%.3f s", value);
      if (std::fabs(value) >= 1e-3) return Printf("%.2f ms", value * 1e3);
      return Printf("%.1f µs", value * 1e6);
  }
  return Printf("%g", value);
}

Row Evaluate(const Figure &figure, const Results &results) {
  Row row;
  row.figure = figure.title;
  row.goal = LimitText(figure);
  row.baseline = figure.baseline.empty() ? "–" : "missing";
  row.ratio = "–";
  row.met = figure.goal == Goal::None ? "–" : "no";

  const Result *measured_result = nullptr;
  double measured = 0;
  if (!Lookup(results, figure.measured, &measured, &measured_result)) {
    row.measured = measured_result && measured_result->error ? "error: " + measured_result->error_message
                                                            : "missing";
    row.met = figure.goal == Goal::None ? "–" : "no (not measured)";
    return row;
  }
  if (measured_result->error) {
    row.measured = "error: " + measured_result->error_message;
    row.met = figure.goal == Goal::None ? "–" : "no (failed)";
    return row;
  }
  row.measured = FormatValue(measured, figure.unit);
  double extra = 0;
  const Result *extra_result = nullptr;
  if (!figure.extra.empty() && Lookup(results, figure.extra, &extra, &extra_result))
    row.measured += " (" + FormatValue(extra, figure.extra_unit) + ")";

  bool have_ratio = false;
  double ratio = 0;
  if (!figure.baseline.empty()) {
    const Result *baseline_result = nullptr;
    double baseline = 0;
    if (Lookup(results, figure.baseline, &baseline, &baseline_result) && !baseline_result->error) {
      row.baseline = FormatValue(baseline, figure.unit);
      if (baseline != 0) {
        ratio = measured / baseline;
        have_ratio = true;
        row.ratio = Printf("%.2f×", ratio);
      }
    } else if (baseline_result && baseline_result->error) {
      row.baseline = "error: " + baseline_result->error_message;
    }
  }

  bool met = false;
  switch (figure.goal) {
    case Goal::None: return row;
    case Goal::RatioAtLeast:
      if (!have_ratio) {
        row.met = "no (no baseline)";
        return row;
      }
      met = ratio >= figure.limit;
      break;
    case Goal::RatioAtMost:
      if (!have_ratio) {
        row.met = "no (no baseline)";
        return row;
      }
      met = ratio <= figure.limit;
      break;
    case Goal::ValueAtLeast: met = measured >= figure.limit; break;
    case Goal::ValueAtMost: met = measured <= figure.limit; break;
  }
  row.met = met ? "yes" : "**no**";
  return row;
}

std::string MarkdownTable(const std::vector<Row> &rows) {
  std::string table = "| figure | measured | baseline | ratio | goal | met |\n|---|---|---|---|---|---|\n";
  for (const Row &row : rows)
    table += "| " + row.figure + " | " + row.measured + " | " + row.baseline + " | " + row.ratio + " | " +
             row.goal + " | " + row.met + " |\n";
  return table;
}

std::vector<Figure> StandardFigures() {
  std::vector<Figure> figures;
  for (const char *packet : {"64", "512"}) {
    for (const char *request : {"4096", "65536"}) {
      const std::string p = packet, r = request;
      const std::string title = "receive, " + p + "-byte packets, " + (r == "4096" ? "4 KiB" : "64 KiB") + " reads";
      const std::string library = "rx/library/p" + p + "/r" + r, baseline = "rx/baseline/p" + p;
      figures.push_back(Throughput(title, library, baseline, 0.5, "≥ 0.5× (aim 0.8×)"));
      figures.push_back(Plain(title + ": thread sleeps per MiB", {library, "sleeps_per_MiB"},
                              {baseline, "sleeps_per_MiB"}, Unit::Count));
      // Of those, the application's waits for bytes, as a share of all of them.
      figures.push_back(Plain(title + ": sleeps in KX_Read per MiB (share of all)", {library, "app_sleeps_per_MiB"},
                              {library, "sleeps_per_MiB"}, Unit::Count));
      // The same reads on a handle with an event descriptor, against the run without one.
      const std::string with_fd = "rx/library-fd/p" + p + "/r" + r;
      figures.push_back(Plain(title + ", event descriptor asked for", {with_fd, "bytes_per_second"},
                              {library, "bytes_per_second"}, Unit::BytesPerSecond, Goal::RatioAtLeast, 0.97,
                              "≥ 0.97× without"));
      figures.push_back(Plain(title + ", event descriptor asked for: CPU per MiB", {with_fd, "cpu_s_per_MiB"},
                              {library, "cpu_s_per_MiB"}, Unit::Seconds, Goal::RatioAtMost, 1.03,
                              "≤ 1.03× without"));
      figures.push_back(Plain(title + ", event descriptor asked for: read/write calls per MiB",
                              {with_fd, "rw_calls_per_MiB"}, {library, "rw_calls_per_MiB"}, Unit::Count));
    }
  }
  figures.push_back(Throughput("transmit, 1 MiB KX_Write", "tx/library", "tx/baseline", 0.95, "≥ 0.95×"));

  const struct {
    const char *name, *key;
  } wakes[] = {{"KX_Read", "read"}, {"event object", "event"}, {"poll() on the event descriptor", "fd"}};
  for (const auto &wake : wakes) {
    const std::string w = wake.name, k = wake.key, b = "wake/interleaved";
    figures.push_back(Plain("wake-up → " + w + ", p50", {b, k + "_p50_s"}, {b, "pty_p50_s"}, Unit::Seconds,
                            Goal::RatioAtMost, 2, "≤ 2× pty"));
    figures.push_back(Plain("wake-up → " + w + ", p99", {b, k + "_p99_s"}, {b, "pty_p99_s"}, Unit::Seconds));
    figures.push_back(Plain("wake-up → " + w + ", max", {b, k + "_max_s"}, {b, "pty_max_s"}, Unit::Seconds));
  }

  const struct {
    const char *name, *key;
    double cpu_limit;
  } lines[] = {{"full speed", "full", 0.02}, {"high speed", "high", 0.10}};
  for (const auto &line : lines) {
    const std::string l = line.name, library = std::string("line/library/") + line.key;
    figures.push_back(Plain("line rate " + l + ", payload rate vs paced", {library, "rate_Bps"},
                            {library, "paced_Bps"}, Unit::BytesPerSecond, Goal::RatioAtLeast, 0.99, "≥ 0.99×"));
    // The same pacing read by an application's own loop shows what the simulated bus itself allows.
    figures.push_back(Plain("line rate " + l + ", payload rate vs raw paced loop", {library, "rate_Bps"},
                            {std::string("line/baseline/") + line.key, "rate_Bps"}, Unit::BytesPerSecond));
    figures.push_back(Plain("line rate " + l + ", bytes lost", {library, "lost_bytes"}, {}, Unit::Count,
                            Goal::ValueAtMost, 0, "0"));
    figures.push_back(Plain("line rate " + l + ", stream in order", {library, "in_order"}, {}, Unit::Count,
                            Goal::ValueAtLeast, 1, "1 (yes)"));
    figures.push_back(Plain("line rate " + l + ", process CPU", {library, "cpu_fraction"},
                            {std::string("line/baseline/") + line.key, "cpu_fraction"}, Unit::Fraction,
                            Goal::ValueAtMost, line.cpu_limit));
    figures.push_back(Plain("line rate " + l + ", thread sleeps per second", {library, "sleeps_per_s"},
                            {std::string("line/baseline/") + line.key, "sleeps_per_s"}, Unit::Count));
  }

  const struct {
    const char *name, *benchmark;
  } idles[] = {{"open handle, idle chip", "idle/open"},
               {"full ring, not drained", "idle/full_ring"},
               {"unplugged device", "idle/unplugged"},
               {"stopped in-task", "idle/stopped"}};
  for (const auto &idle : idles)
    figures.push_back(Plain(std::string("idle CPU, ") + idle.name, {idle.benchmark, "cpu_fraction"},
                            {"idle/none", "cpu_fraction"}, Unit::Fraction, Goal::ValueAtMost, 0.01));

  figures.push_back(Plain("KX_Close, idle chip, p50", {"handle/close_idle", "p50_s"}, {}, Unit::Seconds,
                          Goal::ValueAtMost, 0.020));
  figures.push_back(Plain("KX_Close, silent chip, max", {"handle/close_silent", "max_s"}, {}, Unit::Seconds,
                          Goal::ValueAtMost, 5.1, "≤ one 5 s read time-out (+0.1 s)"));
  figures.push_back(Plain("KX_Open, p50", {"handle/open", "p50_s"}, {"handle/open_raw", "p50_s"}, Unit::Seconds));
  figures.push_back(Plain("KX_ListDevices, 32 chips", {"handle/list32", "real_time_s"},
                          {"handle/list32_raw", "real_time_s"}, Unit::Seconds));

  for (const char *type : {"r4", "r2", "single", "dual"}) {
    for (const char *words : {"64", "128", "256"}) {
      const std::string benchmark = std::string("eeprom/") + type + "/w" + words;
      for (const char *call : {"program", "read"}) {
        const std::string c = call;
        Figure f = Plain("EEPROM " + c + ", " + type + ", " + words + " words: transfers (time)",
                         {benchmark, c + "_transfers"}, {benchmark, "part_words"}, Unit::Count);
        f.extra = {benchmark, c + "_s"};
        figures.push_back(f);
      }
    }
  }
  return figures;
}

}  // namespace vexa_bench
