// A capture filter in libpcap's filter language ("udp port 53", "not net 10.0.0.0/8"), compiled
// for one link type and tested on packets in user space, so that it applies the same way to
// whatever reads the packets.
#pragma once

#include <cstdint>
#include <string>

struct bpf_program;

class kdPacketFilter {
 public:
  kdPacketFilter();
  kdPacketFilter(const kdPacketFilter&) = delete;
  kdPacketFilter& operator=(const kdPacketFilter&) = delete;
  ~kdPacketFilter();

  // Compiles expression for packets of link_type. False, with libpcap's reason in error, when
  // the expression is not valid (or not for this link type).
  bool Compile(const std::string& expression, int link_type, std::string& error);
  // Whether a packet passes: caplen bytes of data captured of a packet of wire_length bytes.
  // A filter never compiled passes everything.
  bool Matches(const uint8_t* data, uint32_t caplen, uint32_t wire_length) const;

 private:
  bpf_program* program_;
  bool compiled_ = false;
};
