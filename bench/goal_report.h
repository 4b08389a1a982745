// Goal lines: every benchmark program ends with one line per figure it is judged by, the ratio
// against its in-run baseline with the goal beside it and whether it holds, e.g.
//   GOAL pipe round trip: 1.32x a bare socket pair (61.2 us against 46.4 us); goal <= 1.50x: holds
// so that `grep '^GOAL'` over a run shows at a glance what holds. A figure whose benchmark did not
// run (filtered out, failed) is reported as "not measured".
#pragma once
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_mode.h"

namespace vyo::bench {

// What one benchmark measured: time per iteration and its counters (rates already per second).
struct Figure {
  double real_ns = 0;
  double cpu_ns = 0;
  std::map<std::string, double> counters;
  double Counter(const std::string& name) const {
    const auto it = counters.find(name);
    return it == counters.end() ? 0.0 : it->second;
  }
};

class Figures {
 public:
  // The run whose name starts with `name` (the benchmark's function name).
  std::optional<Figure> Find(const std::string& name) const {
    for (const auto& [run_name, figure] : runs_) {
      if (run_name.rfind(name, 0) == 0 && (run_name.size() == name.size() || run_name[name.size()] == '/')) {
        return figure;
      }
    }
    return std::nullopt;
  }
  void Add(const std::string& name, Figure figure) { runs_.emplace_back(name, std::move(figure)); }

 private:
  std::vector<std::pair<std::string, Figure>> runs_;
};

enum class Goal { kAtLeast, kAtMost };

// Prints one goal line. `value` and `limit` are in the same unit; `unit` follows both ("x", " %");
// `detail` says what the value was made of.
inline void PrintGoal(const std::string& what, std::optional<double> value, Goal goal, double limit,
                      const std::string& unit, const std::string& detail) {
  const char* op = goal == Goal::kAtLeast ? ">=" : "<=";
  if (!value) {
    std::printf("GOAL %s: not measured; goal %s %.2f%s\n", what.c_str(), op, limit, unit.c_str());
  } else {
    const bool holds = goal == Goal::kAtLeast ? *value >= limit : *value <= limit;
    std::printf("GOAL %s: %.2f%s %s; goal %s %.2f%s: %s%s\n", what.c_str(), *value, unit.c_str(), detail.c_str(), op,
                limit, unit.c_str(), holds ? "holds" : "MISSED", SmokeRun() ? " (smoke run, not judged)" : "");
  }
  std::fflush(stdout);
}

// A line for a figure that has no goal of its own, so that every program says what it measured.
inline void PrintMeasure(const std::string& what, std::optional<double> value, const std::string& unit,
                         const std::string& detail) {
  if (!value) {
    std::printf("GOAL %s: not measured; no goal (reported)\n", what.c_str());
  } else {
    std::printf("GOAL %s: %.2f%s %s; no goal (reported)\n", what.c_str(), *value, unit.c_str(), detail.c_str());
  }
  std::fflush(stdout);
}

namespace detail {

class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  CollectingReporter(Figures* figures, OutputOptions options) : ConsoleReporter(options), figures_(figures) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    benchmark::ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations <= 0) continue;
      Figure f;
      const double n = static_cast<double>(run.iterations);
      f.real_ns = run.real_accumulated_time / n * 1e9;
      f.cpu_ns = run.cpu_accumulated_time / n * 1e9;
      for (const auto& [name, counter] : run.counters) f.counters[name] = counter.value;
      figures_->Add(run.benchmark_name(), std::move(f));
    }
  }

 private:
  Figures* figures_;
};

}  // namespace detail

// The program's main: runs the registered benchmarks, then prints the goal lines.
inline int RunWithGoals(int argc, char** argv, const std::function<void(const Figures&)>& goals) {
  // The console output as the library's own reporter would make it: tabular counters when asked,
  // colours only on a terminal (a colour code must never start a goal line in a log).
  int options = benchmark::ConsoleReporter::OO_None;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--benchmark_counters_tabular" || arg == "--benchmark_counters_tabular=true") {
      options |= benchmark::ConsoleReporter::OO_Tabular;
    }
  }
  if (isatty(fileno(stdout)) != 0) options |= benchmark::ConsoleReporter::OO_Color;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Figures figures;
  detail::CollectingReporter reporter(&figures, static_cast<benchmark::ConsoleReporter::OutputOptions>(options));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  goals(figures);
  return 0;
}

// Ratio helpers: a / b when both were measured and b is not zero.
inline std::optional<double> Ratio(std::optional<double> a, std::optional<double> b) {
  if (!a || !b || *b == 0) return std::nullopt;
  return *a / *b;
}

}  // namespace vyo::bench
