// A console reporter that, after the usual lines, prints every figure beside its floor and the
// ratio of the two, plus the stall and memory figures.
//
// Naming: a benchmark "X/floor" is the floor of the benchmark "X", and "X/built-floor" its
// second floor where it has one. Benchmarks report the number
// of items they handle per iteration in the counter "items" (flows, samples); the figure is
// nanoseconds of the benchmark thread's CPU time per item, the median over repetitions. CPU time
// rather than real time: on a shared machine the wait for a core says nothing about the code.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace kppbench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  struct Figures {
    std::vector<double> ns_per_item;
    std::map<std::string, double> counters;  // of the last repetition
  };
  std::vector<std::string> order_;
  std::map<std::string, Figures> figures_;
};

}  // namespace kppbench
