#include "kd_packet_filter.h"

#include <pcap/pcap.h>

// Long enough for any packet libpcap reads: the snapshot length only bounds what the compiled
// program may look at.
static constexpr int kFilterSnaplen = 262144;

kdPacketFilter::kdPacketFilter() : program_(new bpf_program{}) {}

kdPacketFilter::~kdPacketFilter() {
  if (compiled_) pcap_freecode(program_);
  delete program_;
}

bool kdPacketFilter::Compile(const std::string& expression, int link_type, std::string& error) {
  pcap_t* dead = pcap_open_dead(link_type, kFilterSnaplen);
  if (dead == nullptr) {
    error = "cannot compile filters for this link type";
    return false;
  }
  bpf_program program{};
  bool ok = pcap_compile(dead, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0;
  if (ok) {
    if (compiled_) pcap_freecode(program_);
    *program_ = program;
    compiled_ = true;
  } else {
    error = pcap_geterr(dead);
  }
  pcap_close(dead);
  return ok;
}

bool kdPacketFilter::Matches(const uint8_t* data, uint32_t caplen, uint32_t wire_length) const {
  if (!compiled_) return true;
  pcap_pkthdr header{};
  header.caplen = caplen;
  header.len = wire_length;
  return pcap_offline_filter(program_, &header, data) != 0;
}
