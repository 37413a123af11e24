#include "replay_counters.h"

#include <utility>

namespace kdreplay {

namespace {

template <typename Value>
Value& Find(std::map<std::string, std::unique_ptr<Value>>& all, const std::string& name) {
  std::unique_ptr<Value>& found = all[name];
  if (!found) found = std::make_unique<Value>();
  return *found;
}

}  // namespace

std::string DescribeCapture(const std::string& name, const InterfaceCounters& counters) {
  auto count = [](const Counter& counter) {
    return std::to_string(counter.load(std::memory_order_relaxed));
  };
  return name + ": " + count(counters.received) + " packets received, " +
         count(counters.kernel_dropped) + " packets dropped by kernel, " +
         count(counters.interface_dropped) + " packets dropped by interface, " +
         count(counters.flow_limit_dropped) + " packets dropped by flow limit, " +
         count(counters.filtered) + " packets filtered, " + count(counters.flows_tracked) +
         " flows tracked";
}

InterfaceCounters& RunCounters::Interface(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  return Find(interfaces_, name);
}

SinkCounters& RunCounters::Sink(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  return Find(sinks_, name);
}

ExporterCounters& RunCounters::Exporter(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  return Find(exporters_, name);
}

void RunCounters::ForEachExporter(
    const std::function<void(const std::string&, const ExporterCounters&)>& visit) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& [name, counters] : exporters_) visit(name, *counters);
}

void RunCounters::ForEachInterface(
    const std::function<void(const std::string&, const InterfaceCounters&)>& visit) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& [name, counters] : interfaces_) visit(name, *counters);
}

void RunCounters::ForEachSink(
    const std::function<void(const std::string&, const SinkCounters&)>& visit) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& [name, counters] : sinks_) visit(name, *counters);
}

void RunCounters::SetSampleSource(SampleSource source) {
  std::lock_guard<std::mutex> guard(lock_);
  samples_ = std::move(source);
}

bool RunCounters::Samples(uint64_t& samples) const {
  SampleSource source;
  {
    std::lock_guard<std::mutex> guard(lock_);
    source = samples_;
  }
  return source && source(samples);
}

}  // namespace kdreplay
