// The collector side of NetFlow v5, NetFlow v9 (RFC 3954) and IPFIX (RFC 7011): one entry point
// for the datagrams of one UDP port, told apart by their version field, that hands out each flow
// record in the neutral form.
//
// State is kept per exporter address and, within it, per observation domain (IPFIX) or source
// ID (v9): templates and options templates, sequence numbers and the sampling rates options
// data announced. Data whose template has not come yet is kept (kdPendingSets) and decoded when
// it comes, or counted as dropped. Every bound below is a hard cap, so that a port open to a
// network holds a bounded amount of memory whatever is sent to it; input that breaks a rule is
// counted per exporter (kdFlowDecodeCounters) and skipped, never fatal.
//
// Not thread-safe: one thread feeds a collector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "kd_flow_record.h"

struct kdFlowCollectorLimits {
  size_t max_exporters = 1024;
  size_t max_domains_per_exporter = 64;
  size_t max_templates_per_exporter = 256;  // over all its domains, options templates included
  size_t max_fields_per_template = 256;
  size_t max_samplers_per_domain = 256;
  size_t max_pending_bytes = 1 << 20;       // data waiting for templates, over all exporters
  uint64_t pending_max_age_ms = 10000;      // how long such data waits
  uint64_t exporter_idle_ms = 3600 * 1000;  // an exporter silent this long is forgotten
};

class kdFlowCollector {
 public:
  // Called for each flow record, during Decode; the record's counters are already scaled by
  // its sampling_rate.
  using RecordFn = std::function<void(const kdFlowRecord&)>;

  explicit kdFlowCollector(RecordFn on_record, kdFlowCollectorLimits limits = {});
  ~kdFlowCollector();
  kdFlowCollector(const kdFlowCollector&) = delete;
  kdFlowCollector& operator=(const kdFlowCollector&) = delete;

  // Decodes one UDP payload that came from `from` at now_ms (any clock that does not go back;
  // it times the limits only). Expires what is due first.
  void Decode(const kdFlowExporter& from, const uint8_t* data, size_t size, uint64_t now_ms);

  // Drops kept data and exporters past their age limits; Decode does this too.
  void Expire(uint64_t now_ms);

  // The counters of each exporter that saw anything since the last call, which starts them
  // again from zero: meant for one log line per exporter and interval.
  std::vector<std::pair<kdFlowExporter, kdFlowDecodeCounters>> TakeCounters();

  // Datagrams of new exporters refused because max_exporters were known, since the last call.
  uint64_t TakeRefusedDatagrams();

  // The sampling rate in force for records of an exporter's domain that name no sampler
  // (v5: engine type << 8 | engine id), 1 when none was announced. version is 5, 9 or 10.
  uint32_t SamplingRate(const kdFlowExporter& exporter, uint16_t version, uint32_t domain) const;

  size_t exporter_count() const;
  size_t template_count() const;
  size_t pending_bytes() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};
