// Hand-built v9, IPFIX and sFlow datagrams for the collector tests, and a collector that keeps
// what it decodes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "kd_flow_collector.h"
#include "kd_flow_template.h"
#include "kd_wire.h"

namespace flow_testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Be(uint64_t v, size_t n) {
  Bytes b;
  kdWireWriter(b).Uint(v, n);
  return b;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Set(uint16_t id, const Bytes& body) {
  return Cat({Be(id, 2), Be(body.size() + 4, 2), body});
}

// A template record; v9 options templates give their parts in bytes, IPFIX's in fields.
inline Bytes Template(uint16_t id, const std::vector<kdTemplateField>& fields, bool ipfix = true,
                      size_t scope_count = 0) {
  Bytes b = Be(id, 2);
  if (!ipfix && scope_count != 0) {
    b = Cat({b, Be(scope_count * 4, 2), Be((fields.size() - scope_count) * 4, 2)});
  } else {
    b = Cat({b, Be(fields.size(), 2)});
    if (scope_count != 0) b = Cat({b, Be(scope_count, 2)});
  }
  for (const kdTemplateField& f : fields) {
    b = Cat({b, Be(f.id | (f.enterprise ? 0x8000 : 0), 2), Be(f.length, 2)});
    if (f.enterprise != 0) b = Cat({b, Be(f.enterprise, 4)});
  }
  return b;
}

constexpr uint32_t kExportSeconds = 1700000000;

inline Bytes Ipfix(uint32_t sequence, uint32_t domain, std::initializer_list<Bytes> sets) {
  Bytes body = Cat(sets);
  return Cat({Be(10, 2), Be(16 + body.size(), 2), Be(kExportSeconds, 4), Be(sequence, 4),
              Be(domain, 4), body});
}

inline Bytes V9(uint32_t sequence, uint32_t source_id, std::initializer_list<Bytes> sets,
                uint32_t uptime_ms = 100000) {
  return Cat({Be(9, 2), Be(1, 2), Be(uptime_ms, 4), Be(kExportSeconds, 4), Be(sequence, 4),
              Be(source_id, 4), Cat(sets)});
}

inline const kdFlowExporter kExporter = kdFlowExporter::Ipv4(0xC0000201);  // 192.0.2.1

// sFlow v5: a record of a sample, a raw packet header record, flow samples (compact and
// expanded), a generic interface counter sample and the datagram of agent 192.0.2.9.
inline Bytes SflowPadded(Bytes b) {
  b.resize((b.size() + 3) / 4 * 4, 0);
  return b;
}

inline Bytes SflowRecord(uint32_t format, const Bytes& body) {
  return Cat({Be(format, 4), Be(body.size(), 4), body});
}

inline Bytes SflowRawHeader(const Bytes& frame) {
  return SflowRecord(1, Cat({Be(1, 4), Be(frame.size() + 4, 4), Be(4, 4), Be(frame.size(), 4),
                             SflowPadded(frame)}));
}

inline Bytes SflowFlowSample(uint32_t rate, const Bytes& records, uint32_t count) {
  return SflowRecord(1, Cat({Be(1, 4), Be(3, 4), Be(rate, 4), Be(1000, 4), Be(0, 4), Be(3, 4),
                             Be(0x80000002, 4) /* several outputs */, Be(count, 4), records}));
}

inline Bytes SflowExpandedFlowSample(uint32_t rate, const Bytes& records) {
  return SflowRecord(3, Cat({Be(1, 4), Be(0, 4), Be(70000, 4), Be(rate, 4), Be(1000, 4), Be(0, 4),
                             Be(0, 4), Be(70000, 4), Be(0, 4), Be(70001, 4), Be(1, 4), records}));
}

inline Bytes SflowCounterSample(uint32_t in_discards = 0, uint32_t in_errors = 0) {
  Bytes generic =
      Cat({Be(3, 4), Be(6, 4), Be(1000000000, 8), Be(1, 4), Be(3, 4), Be(123456, 8), Bytes(12, 0),
           Be(in_discards, 4), Be(in_errors, 4), Bytes(4, 0), Be(654321, 8), Bytes(24, 0)});
  return SflowRecord(2, Cat({Be(1, 4), Be(3, 4), Be(2, 4), SflowRecord(1, generic),
                             SflowRecord(1005, Bytes(8, 0))}));
}

inline Bytes SflowDatagram(uint32_t sequence, const std::vector<Bytes>& samples) {
  Bytes body;
  for (const Bytes& s : samples) body = Cat({body, s});
  return Cat({Be(5, 4), Be(1, 4), Bytes{192, 0, 2, 9}, Be(0, 4), Be(sequence, 4), Be(5000, 4),
              Be(samples.size(), 4), body});
}

// A collector and the records it handed out.
struct Collected {
  explicit Collected(kdFlowCollectorLimits limits = {})
      : collector([this](const kdFlowRecord& r) { records.push_back(r); }, limits) {}
  void Feed(const Bytes& datagram, uint64_t now_ms = 1000, const kdFlowExporter& from = kExporter) {
    collector.Decode(from, datagram.data(), datagram.size(), now_ms);
  }
  kdFlowDecodeCounters Counters() {
    kdFlowDecodeCounters sum;
    for (auto& [who, c] : collector.TakeCounters()) sum += c;
    return sum;
  }
  std::vector<kdFlowRecord> records;
  kdFlowCollector collector;
};

}  // namespace flow_testing
