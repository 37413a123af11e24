#include "ratio_reporter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kppbench {

namespace {

const char kFloorSuffix[] = "/floor";
const char kBuiltFloorSuffix[] = "/built-floor";

bool EndsWith(const std::string& name, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
}

bool IsFloor(const std::string& name) {
  return EndsWith(name, kFloorSuffix) || EndsWith(name, kBuiltFloorSuffix);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

}  // namespace

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
    // The run name without the "/real_time" or repetition decorations the library adds.
    std::string name = run.run_name.function_name;
    Figures& figures = figures_[name];
    if (figures.ns_per_item.empty() && figures.counters.empty()) order_.push_back(name);
    auto items = run.counters.find("items");
    if (items != run.counters.end() && items->second.value > 0) {
      figures.ns_per_item.push_back(run.cpu_accumulated_time * 1e9 /
                                    static_cast<double>(run.iterations) / items->second.value);
    }
    for (const auto& counter : run.counters) figures.counters[counter.first] = counter.second.value;
  }
}

void RatioReporter::Finalize() {
  ConsoleReporter::Finalize();
  std::printf("\n%-44s %14s %14s %8s\n", "figure", "ns per item", "floor", "ratio");
  for (const std::string& name : order_) {
    if (IsFloor(name)) continue;
    const Figures& figures = figures_[name];
    auto floor = figures_.find(name + kFloorSuffix);
    const double value = Median(figures.ns_per_item);
    if (floor != figures_.end() && !floor->second.ns_per_item.empty()) {
      const double base = Median(floor->second.ns_per_item);
      std::printf("%-44s %14.1f %14.1f %8.2f\n", name.c_str(), value, base,
                  base > 0 ? value / base : 0.0);
    } else if (!figures.ns_per_item.empty()) {
      std::printf("%-44s %14.1f %14s %8s\n", name.c_str(), value, "-", "-");
    }
    auto built = figures_.find(name + kBuiltFloorSuffix);
    if (built != figures_.end() && !built->second.ns_per_item.empty()) {
      const double base = Median(built->second.ns_per_item);
      std::printf("%-44s %14s %14.1f %8.2f\n", "  against the built floor", "", base,
                  base > 0 ? value / base : 0.0);
    }
    // The figures that are not times per item: lock waits, bytes per sample.
    for (const auto& counter : figures.counters) {
      if (counter.first == "items") continue;
      std::printf("%-44s   %s = %.1f\n", "", counter.first.c_str(), counter.second);
    }
  }
  std::fflush(stdout);
}

}  // namespace kppbench
