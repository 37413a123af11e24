#include "replay_metrics_server.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <exception>
#include <utility>
#include <vector>

namespace kdreplay {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

const char* const kPrefix = "korvia_replay_";

MetricFamily Family(const std::string& name, const std::string& help, MetricType type) {
  MetricFamily family;
  family.name = kPrefix + name;
  family.help = help;
  family.type = type;
  return family;
}

void Add(MetricFamily& family, double value, const std::string& label = "",
         const std::string& label_value = "") {
  ClientMetric metric;
  if (!label.empty()) metric.label.push_back({label, label_value});
  if (family.type == MetricType::Counter) {
    metric.counter.value = value;
  } else {
    metric.gauge.value = value;
  }
  family.metric.push_back(std::move(metric));
}

double Read(const Counter& counter) {
  return static_cast<double>(counter.load(std::memory_order_relaxed));
}

// A family with one series per interface, each read from the same counter.
struct InterfaceMetric {
  const char* name;
  const char* help;
  MetricType type;
  Counter InterfaceCounters::*counter;
};

const InterfaceMetric kInterfaceMetrics[] = {
    {"packets_received_total",
     "Packets read from the capture (a live capture: those its filter passed).",
     MetricType::Counter, &InterfaceCounters::received},
    {"packets_kernel_dropped_total", "Packets the kernel dropped for want of buffer space.",
     MetricType::Counter, &InterfaceCounters::kernel_dropped},
    {"packets_interface_dropped_total", "Packets the interface or its driver dropped.",
     MetricType::Counter, &InterfaceCounters::interface_dropped},
    {"packets_flow_limit_dropped_total",
     "Packets of flows not tracked because the flow table was full (--max-flows).",
     MetricType::Counter, &InterfaceCounters::flow_limit_dropped},
    {"packets_filtered_total", "Packets read from a capture file that the filter rejected.",
     MetricType::Counter, &InterfaceCounters::filtered},
    {"packets_undecoded_total",
     "Packets the decoder discarded: truncated, malformed, or of a kind it does not read.",
     MetricType::Counter, &InterfaceCounters::undecoded},
    {"flows_tracked", "Flows in the flow tracker's map.", MetricType::Gauge,
     &InterfaceCounters::flows_tracked},
    {"flows_evicted_total", "Flows that left the flow map: closed, idle, or at the end.",
     MetricType::Counter, &InterfaceCounters::flows_evicted},
    {"flow_map_events_total", "Flow-map snapshots delivered to the plugin.", MetricType::Counter,
     &InterfaceCounters::flow_map_events},
};

struct ExporterMetric {
  const char* name;
  const char* help;
  Counter ExporterCounters::*counter;
};

const ExporterMetric kExporterMetrics[] = {
    {"flow_datagrams_total", "Datagrams a collector input (--listen) read from the exporter.",
     &ExporterCounters::datagrams},
    {"flow_records_total", "Flow records (sFlow: packet samples) decoded from the exporter.",
     &ExporterCounters::records},
    {"flow_decode_errors_total",
     "Malformed or truncated datagrams, records and templates of the exporter.",
     &ExporterCounters::decode_errors},
    {"flow_sequence_lost_total",
     "Records (v5, IPFIX) or datagrams (v9, sFlow) the exporter's sequence gaps tell of.",
     &ExporterCounters::sequence_lost},
    {"flow_kernel_dropped_total",
     "Datagrams the kernel dropped at a --listen socket (the exporter label is its URL).",
     &ExporterCounters::kernel_dropped},
};

struct SinkMetric {
  const char* name;
  const char* help;
  Counter SinkCounters::*counter;
  bool kafka_only;
};

const SinkMetric kSinkMetrics[] = {
    {"sink_payloads_total", "Payloads a sink stored (written, inserted or queued), per channel.",
     &SinkCounters::payloads, false},
    {"sink_payload_bytes_total", "Bytes of the payloads a sink stored, as compact JSON text.",
     &SinkCounters::bytes, false},
    {"sink_failed_payloads_total", "Payloads a sink could not store.",
     &SinkCounters::failed_payloads, false},
    {"sink_failed_payload_bytes_total",
     "Bytes of the payloads a sink could not store, as compact JSON text.",
     &SinkCounters::failed_bytes, false},
    {"kafka_messages_delivered_total", "Messages the Kafka brokers acknowledged.",
     &SinkCounters::kafka_delivered, true},
    {"kafka_messages_failed_total", "Messages queued for Kafka but never delivered.",
     &SinkCounters::kafka_failed, true},
};

}  // namespace

class MetricsServer::Collector : public prometheus::Collectable {
 public:
  explicit Collector(const RunCounters& counters) : counters_(counters) {}

  std::vector<MetricFamily> Collect() const override {
    std::vector<MetricFamily> families;
    for (const InterfaceMetric& metric : kInterfaceMetrics) {
      MetricFamily family = Family(metric.name, metric.help, metric.type);
      counters_.ForEachInterface([&](const std::string& name, const InterfaceCounters& counters) {
        Add(family, Read(counters.*metric.counter), "interface", name);
      });
      if (!family.metric.empty()) families.push_back(std::move(family));
    }
    for (const SinkMetric& metric : kSinkMetrics) {
      MetricFamily family = Family(metric.name, metric.help, MetricType::Counter);
      counters_.ForEachSink([&](const std::string& name, const SinkCounters& counters) {
        if (!metric.kafka_only || counters.kafka.load(std::memory_order_relaxed))
          Add(family, Read(counters.*metric.counter), "sink", name);
      });
      if (!family.metric.empty()) families.push_back(std::move(family));
    }
    for (const ExporterMetric& metric : kExporterMetrics) {
      MetricFamily family = Family(metric.name, metric.help, MetricType::Counter);
      counters_.ForEachExporter([&](const std::string& name, const ExporterCounters& counters) {
        Add(family, Read(counters.*metric.counter), "exporter", name);
      });
      if (!family.metric.empty()) families.push_back(std::move(family));
    }
    MetricFamily reloads =
        Family("reloads_total", "Configuration reloads after the first load, by result.",
               MetricType::Counter);
    Add(reloads, Read(counters_.reloads_succeeded), "result", "success");
    Add(reloads, Read(counters_.reloads_failed), "result", "failure");
    families.push_back(std::move(reloads));
    uint64_t samples = 0;
    if (counters_.Samples(samples)) {
      MetricFamily family =
          Family("plugin_samples", "Samples the plugin holds, from its status (\"samples\").",
                 MetricType::Gauge);
      Add(family, static_cast<double>(samples));
      families.push_back(std::move(family));
    }
    const uint64_t capture_us = counters_.capture_time_us.load(std::memory_order_relaxed);
    if (capture_us != 0) {
      MetricFamily family =
          Family("capture_time_seconds",
                 "A file replay's capture clock, in seconds since the epoch.", MetricType::Gauge);
      Add(family, static_cast<double>(capture_us) / 1e6);
      families.push_back(std::move(family));
    }
    return families;
  }

 private:
  const RunCounters& counters_;
};

MetricsServer::MetricsServer(const RunCounters& counters) : counters_(counters) {}

MetricsServer::~MetricsServer() = default;

bool MetricsServer::Start(const std::string& address, std::string& error) {
  try {
    // One thread is plenty for a scrape every few seconds.
    exposer_ = std::make_unique<prometheus::Exposer>(address, 1);
  } catch (const std::exception&) {
    // The library's own message says only that the server could not be made.
    error = "--metrics " + address +
            ": cannot listen there (the port is in use, or ADDR is not an IPv4 address of this "
            "machine)";
    return false;
  }
  collector_ = std::make_shared<Collector>(counters_);
  exposer_->RegisterCollectable(collector_);
  std::vector<int> ports = exposer_->GetListeningPorts();
  port_ = ports.empty() ? 0 : ports.front();
  return true;
}

}  // namespace kdreplay
