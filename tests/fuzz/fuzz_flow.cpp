// Flow protocol decoders on a sequence of datagrams: each is two bytes of length, then that
// many bytes. Several datagrams per input let templates, held data and sequence numbers
// interact. KORVIA_FUZZ_FLOW_VERSION (9 or 10) is written into each datagram's version field
// so that each target keeps to its dialect; 0 selects the sFlow decoder.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kd_flow_collector.h"
#include "kd_sflow_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kdFlowCollectorLimits limits;
  limits.max_pending_bytes = 64 * 1024;
  limits.max_templates_per_exporter = 64;
  uint64_t sum = 0;
  kdFlowCollector collector([&](const kdFlowRecord& r) { sum += r.octets + r.first_ms; }, limits);
  kdSflowDecoder sflow(
      [&](const kdSflowPacketSample& p) {
        for (uint32_t i = 0; i < p.header_length; ++i) sum += p.header[i];
      },
      [&](const kdSflowInterfaceCounters& c) { sum += c.in_octets; });

  uint64_t now_ms = 1000;
  size_t pos = 0;
  while (size - pos >= 2) {
    size_t length = static_cast<size_t>(data[pos] << 8 | data[pos + 1]);
    pos += 2;
    if (length > size - pos) length = size - pos;
    std::vector<uint8_t> datagram(data + pos, data + pos + length);
    pos += length;
    // Alternate two exporters so that per-exporter state is crossed too.
    kdFlowExporter from = kdFlowExporter::Ipv4(0x7F000001 + (now_ms / 1000) % 2);
    if (KORVIA_FUZZ_FLOW_VERSION == 0) {
      sflow.Decode(from, datagram.data(), datagram.size());
    } else {
      if (datagram.size() >= 2) {
        datagram[0] = 0;
        datagram[1] = KORVIA_FUZZ_FLOW_VERSION;
      }
      collector.Decode(from, datagram.data(), datagram.size(), now_ms);
    }
    now_ms += 3000;
  }
  collector.TakeCounters();
  sflow.TakeCounters();
  static volatile uint64_t keep;  // so that the work is not optimised away
  keep = sum;
  return 0;
}
