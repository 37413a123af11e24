// The counters of a run that the metrics endpoint (replay_metrics_server.h) and SIGUSR1 report.
// Each is written where its events happen (the capture thread, the plugin's dispatching threads)
// with one relaxed atomic add or store, and read from any thread, a scrape's included, without
// stopping the writers. Values only ever reflect whole events; a reader may see one counter a
// little ahead of another.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace kdreplay {

using Counter = std::atomic<uint64_t>;

// One capture: a live interface, or a capture file (named by its base name).
struct InterfaceCounters {
  Counter received{0};            // packets read (a live capture: those its filter passed)
  Counter kernel_dropped{0};      // lost in the kernel for want of buffer space
  Counter interface_dropped{0};   // lost by the interface or its driver
  Counter flow_limit_dropped{0};  // not tracked: the flow table was full (--max-flows)
  Counter filtered{0};            // read from a file but rejected by the filter
  Counter undecoded{0};           // read but not decoded: truncated, malformed, not IP
  Counter flows_tracked{0};       // a gauge: flows in the tracker's map now
  Counter flows_evicted{0};       // flows that left the map: closed, idle or at the end
  Counter flow_map_events{0};     // flow-map snapshots delivered to the plugin
};

// One line of a capture's counters, as tcpdump writes them: "eth0: 12 packets received, 0
// packets dropped by kernel, ...".
std::string DescribeCapture(const std::string& name, const InterfaceCounters& counters);

// One sink of the plugin (--sink NAME, or a name that goes to standard output).
struct SinkCounters {
  Counter payloads{0};  // stored: written, inserted or queued, once per channel
  Counter bytes{0};     // their size as compact JSON text, whatever the sink's encoding
  Counter failed_payloads{0};
  Counter failed_bytes{0};
  // A kafka: sink's messages once the brokers have answered (or Close gave up on them).
  Counter kafka_delivered{0};
  Counter kafka_failed{0};
  std::atomic<bool> kafka{false};  // whether the two above apply
};

// One flow exporter of a collector input (--listen), by its address, and the kernel's drops of
// the socket it sends to (by the --listen URL, the "exporter" of those counters).
struct ExporterCounters {
  Counter datagrams{0};
  Counter records{0};         // flow records, or sFlow packet samples
  Counter decode_errors{0};   // malformed or truncated datagrams, records and templates
  Counter sequence_lost{0};   // records (v5, IPFIX) or datagrams (v9, sFlow) the gaps tell of
  Counter kernel_dropped{0};  // a --listen socket's datagrams the kernel dropped
};

class RunCounters {
 public:
  RunCounters() = default;
  RunCounters(const RunCounters&) = delete;
  RunCounters& operator=(const RunCounters&) = delete;

  // The counters of one interface or sink, made at their first call. The reference stays valid
  // while this object lives: writers keep it, so that counting takes no lock.
  InterfaceCounters& Interface(const std::string& name);
  SinkCounters& Sink(const std::string& name);
  ExporterCounters& Exporter(const std::string& name);

  // Each interface or sink in name order, under a lock that keeps new ones out meanwhile.
  void ForEachInterface(
      const std::function<void(const std::string&, const InterfaceCounters&)>& visit) const;
  void ForEachSink(const std::function<void(const std::string&, const SinkCounters&)>& visit) const;
  void ForEachExporter(
      const std::function<void(const std::string&, const ExporterCounters&)>& visit) const;

  // Configuration reloads after the first load, by how they ended.
  Counter reloads_succeeded{0};
  Counter reloads_failed{0};  // refused by the plugin, not finished in time, or thread ended
  // A file replay's capture clock, microseconds since the epoch; 0 before the first packet and
  // in a live capture.
  Counter capture_time_us{0};

  // The plugin's "samples", read when asked; false while no plugin runs. Set before readers
  // start; the source must be safe to call from any thread.
  using SampleSource = std::function<bool(uint64_t& samples)>;
  void SetSampleSource(SampleSource source);
  bool Samples(uint64_t& samples) const;

 private:
  mutable std::mutex lock_;
  std::map<std::string, std::unique_ptr<InterfaceCounters>> interfaces_;
  std::map<std::string, std::unique_ptr<SinkCounters>> sinks_;
  std::map<std::string, std::unique_ptr<ExporterCounters>> exporters_;
  SampleSource samples_;
};

}  // namespace kdreplay
