#include "kd_netflow5.h"

#include "kd_wire.h"

bool kdReadNetflow5(const uint8_t* data, size_t size, kdNetflow5Header& h,
                    std::vector<kdFlowRecord>& records) {
  records.clear();
  kdWireReader r(data, size);
  r.U16();  // version, checked by the caller
  h.count = r.U16();
  h.uptime_ms = r.U32();
  h.unix_secs = r.U32();
  h.unix_nsecs = r.U32();
  h.sequence = r.U32();
  h.engine_type = r.U8();
  h.engine_id = r.U8();
  h.sampling = r.U16();
  if (!r.ok() || h.count == 0 || h.count > kd_netflow5::kMaxRecords) return false;

  uint64_t now_ms = uint64_t{h.unix_secs} * 1000 + h.unix_nsecs / 1000000;
  for (size_t i = 0; i < h.count && r.remaining() >= kd_netflow5::kRecordSize; ++i) {
    kdFlowRecord f;
    f.version = 5;
    f.ip_version = 4;
    for (int k = 0; k < 4; ++k) f.src_addr[k] = r.U8();
    for (int k = 0; k < 4; ++k) f.dst_addr[k] = r.U8();
    r.Skip(4);  // next hop
    f.ingress_if = r.U16();
    f.egress_if = r.U16();
    f.packets = r.U32();
    f.octets = r.U32();
    uint32_t first = r.U32();
    uint32_t last = r.U32();
    f.src_port = r.U16();
    f.dst_port = r.U16();
    r.Skip(1);
    f.tcp_flags = r.U8();
    f.protocol = r.U8();
    r.Skip(1 + 2 + 2 + 1 + 1 + 2);  // ToS, AS numbers, masks, padding
    // The uptimes wrap after 49 days; what counts is how long before the header each was.
    f.first_ms = now_ms - static_cast<uint32_t>(h.uptime_ms - first);
    f.last_ms = now_ms - static_cast<uint32_t>(h.uptime_ms - last);
    records.push_back(f);
  }
  return true;
}
