// The exporter: a flow cache fed with the packets the capture trackers count, whose flows go to
// one collector as IPFIX, NetFlow v9 or NetFlow v5 when they end: after the inactive timeout
// (idle), every active timeout while they last (active), at a TCP FIN from both sides or a RST
// (end of flow), and at Finish (forced end). Time is capture time: a file replay exports as
// the file's own clock runs. See docs/flow-protocols.md.
//
// Counters are IP bytes, header included, as the elements define them. A flow is the tracker's
// (addresses, ports, protocol and VLAN; packets the tracker could not place in a flow are not
// exported); its source is the sender of its first packet, and the other direction's traffic
// is its reverse (one RFC 5103 biflow, or a second uniflow).
//
// Single-threaded, on the trackers' thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "kd_flow_encoder.h"
#include "kd_flow_tracker.h"
#include "replay_flow_options.h"

namespace kdreplay {

class FlowExporter : public kdPacketObserver {
 public:
  using SendFn = std::function<bool(const kdDatagram&, std::string& error)>;

  explicit FlowExporter(FlowExportOptions options);
  FlowExporter(const FlowExporter&) = delete;
  FlowExporter& operator=(const FlowExporter&) = delete;
  ~FlowExporter() override;

  // Makes the socket that sends to the collector. False with the reason.
  bool Open(std::string& error);
  // Datagrams go to send instead of a socket (tests).
  void SendThrough(SendFn send) { send_ = std::move(send); }

  void ObservePacket(const kdDecodedPacket& packet, uint64_t time_us, uint32_t if_index,
                     uint64_t digest, uint32_t& slot) override;
  // Lets capture time pass without a packet (a quiet live interface).
  void ObserveTime(uint64_t time_us);
  // Exports every flow still in the cache with the forced-end reason and reports the totals.
  void Finish();

  uint64_t flows_exported() const { return flows_exported_; }

 private:
  // Keys are the tracker's digests, hashes already.
  struct DigestHash {
    size_t operator()(uint64_t digest) const { return static_cast<size_t>(digest); }
  };
  struct Entry {
    uint64_t key = 0;  // digest and interface
    bool used = false;
    kdFlowRecord record;  // counters since the last export
    uint64_t first_us = 0, last_us = 0;
    bool fin_source = false, fin_reverse = false, ended = false;
  };

  // Exports what is due at time_us, once per second of capture time.
  void Sweep(uint64_t time_us, bool force);
  void Send(std::vector<kdFlowRecord>& records, uint64_t now_us);

  FlowExportOptions options_;
  int fd_ = -1;
  SendFn send_;
  // The flows: entries at dense positions (a free one is reused), found by key through index_,
  // or through the slot the tracker keeps with each flow: the position plus one.
  std::vector<Entry> entries_;
  std::vector<uint32_t> free_;
  std::unordered_map<uint64_t, uint32_t, DigestHash> index_;
  std::unique_ptr<kdTemplateFlowEncoder> template_encoder_;
  std::unique_ptr<kdNetflow5Encoder> v5_encoder_;
  bool started_ = false;
  uint64_t now_us_ = 0;
  uint64_t next_sweep_us_ = 0;
  uint64_t flows_exported_ = 0, datagrams_ = 0, send_errors_ = 0, untracked_packets_ = 0;
  std::string first_send_error_;
};

}  // namespace kdreplay
