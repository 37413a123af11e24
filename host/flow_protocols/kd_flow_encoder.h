// Message builders for our exporter: IPFIX (RFC 7011, with RFC 5103 biflows as an option) and
// NetFlow v9 (RFC 3954), which share the template machinery, and NetFlow v5.
//
// Each Encode call turns records into whole datagrams of at most max_message_size bytes.
// The template-based encoders send their templates (one for IPv4, one for IPv6) in the first
// message and again every template_refresh_messages messages or template_refresh_ms
// milliseconds, whichever comes first, as collectors that join late over UDP need them.
// Records without addresses (ip_version 0), and IPv6 records in v5, are skipped and counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kd_flow_record.h"

using kdDatagram = std::vector<uint8_t>;

struct kdFlowEncoderOptions {
  uint32_t observation_domain = 0;  // IPFIX domain, v9 source ID
  // IPFIX only: one record per biflow with RFC 5103's reverse counters. Otherwise a record
  // with reverse traffic becomes two uniflow records, the second with the endpoints swapped.
  bool biflow = false;
  uint32_t template_refresh_messages = 20;
  uint64_t template_refresh_ms = 30000;
  size_t max_message_size = 1400;  // fits an Ethernet MTU with IP and UDP headers
};

class kdTemplateFlowEncoder {
 public:
  enum class Dialect { kIpfix, kNetflow9 };

  // boot_ms is when the exporter started: v9 gives times as milliseconds since then.
  kdTemplateFlowEncoder(Dialect dialect, kdFlowEncoderOptions options, uint64_t boot_ms);

  // now_ms is the export time (Unix ms) written in the headers.
  std::vector<kdDatagram> Encode(const std::vector<kdFlowRecord>& records, uint64_t now_ms);

  uint64_t skipped() const { return skipped_; }
  uint32_t sequence() const { return sequence_; }

 private:
  void StartMessage(kdDatagram& m, uint64_t now_ms);
  void FinishMessage(kdDatagram& m, uint32_t data_records, uint16_t v9_records);
  size_t WriteTemplates(kdDatagram& m);
  void WriteRecord(kdDatagram& m, const kdFlowRecord& f);
  bool TemplatesDue(uint64_t now_ms) const;

  Dialect dialect_;
  kdFlowEncoderOptions options_;
  uint64_t boot_ms_;
  uint32_t sequence_ = 0;
  uint32_t messages_since_templates_ = 0;
  bool templates_sent_ = false;
  uint64_t templates_sent_ms_ = 0;
  uint64_t skipped_ = 0;
};

class kdNetflow5Encoder {
 public:
  kdNetflow5Encoder(uint8_t engine_type, uint8_t engine_id, uint64_t boot_ms)
      : engine_type_(engine_type), engine_id_(engine_id), boot_ms_(boot_ms) {}

  std::vector<kdDatagram> Encode(const std::vector<kdFlowRecord>& records, uint64_t now_ms);

  uint64_t skipped() const { return skipped_; }

 private:
  uint8_t engine_type_;
  uint8_t engine_id_;
  uint64_t boot_ms_;
  uint32_t sequence_ = 0;
  uint64_t skipped_ = 0;
};

// The uniflows of a record: itself without reverse members, and its reverse when that carried
// packets. What the encoders do for collectors that take no biflows.
std::vector<kdFlowRecord> kdSplitBiflow(const kdFlowRecord& record);
