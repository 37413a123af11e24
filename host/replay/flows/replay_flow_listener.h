// The collector input: UDP sockets that take NetFlow v5, v9 and IPFIX (netflow://) or sFlow v5
// (sflow://) datagrams and hand the traffic they report to one flow tracker per exporter
// interface, named "EXPORTER/ifINDEX", whose flow-map, flow and statistics events reach the
// plugin as a capture's do. docs/flow-protocols.md gives the rules for users.
//
// Flow records become reported traffic of their tracker (a record and its reverse meet in one
// flow); sFlow's sampled packet headers go through the packet decoder, each standing for its
// sampling rate's packets; sFlow interface counters add the interface's discards and errors to
// its statistics. Bad input, sequence gaps and datagrams the kernel dropped are reported once
// per update interval with the exporter's address, and a sampling rate when it first shows or
// changes.
//
// Single-threaded: one thread calls every method, and the target is called on that thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kd_flow_collector.h"
#include "kd_flow_tracker.h"
#include "kd_sflow_decoder.h"
#include "replay_counters.h"
#include "replay_event_target.h"
#include "replay_flow_options.h"

namespace kdreplay {

// The capture type of the collector's interfaces: the interface index is the flow's.
constexpr uint32_t kCaptureTypeCollector = 16;

class FlowListener {
 public:
  explicit FlowListener(FlowListenOptions options);
  FlowListener(const FlowListener&) = delete;
  FlowListener& operator=(const FlowListener&) = delete;
  ~FlowListener();

  // Binds every socket. False with the reason of the first that fails.
  bool Open(std::string& error);
  // The sockets, to wait on.
  std::vector<int> Fds() const;
  // Starts the clock of every tracker at time_us; each is made from config (its interface
  // replaced) when its first traffic comes, and delivers to target.
  void Start(const kdFlowTrackerConfig& config, uint64_t time_us, EventTarget& target);
  // Adds what each exporter sent, and each socket's kernel drops, to counters at every report.
  void CountInto(RunCounters& counters) { counters_ = &counters; }
  // Reads every datagram waiting on the sockets, then lets time pass to now_us.
  void Serve(uint64_t now_us);
  // Ends every tracker (their flows are delivered) and reports each socket's totals.
  void Finish();

  // Decodes one datagram as if it had come to socket `socket` from `from`, at now_us.
  void Datagram(size_t socket, const kdFlowExporter& from, const uint8_t* data, size_t size,
                uint64_t now_us);

 private:
  struct Socket;
  struct Interface;
  class Bridge;
  struct InterfaceKey {
    kdFlowExporter exporter;
    uint32_t if_index;
    bool operator<(const InterfaceKey& o) const;
  };
  struct RateKey {
    kdFlowExporter exporter;
    uint32_t version;
    uint32_t domain;
    bool operator<(const RateKey& o) const;
  };

  void Record(Socket& socket, const kdFlowRecord& record);
  void Sample(Socket& socket, const kdSflowPacketSample& sample);
  void Counters(const kdSflowInterfaceCounters& counters);
  kdFlowTracker& Tracker(const kdFlowExporter& exporter, uint32_t if_index);
  std::unique_ptr<Interface> MakeInterface(const std::string& name, uint32_t index);
  void ShowRate(const Socket& socket, const RateKey& key, uint32_t rate);
  // Counts the kernel's drop counter of a socket, read at overflow.
  void CountDrops(Socket& socket, uint32_t overflow);
  void ReportInterval();

  FlowListenOptions options_;
  std::vector<std::unique_ptr<Socket>> sockets_;
  std::vector<uint8_t> datagram_ = std::vector<uint8_t>(65536);  // the largest UDP payload
  std::map<InterfaceKey, std::unique_ptr<Interface>> interfaces_;
  std::unique_ptr<Interface> other_;  // the traffic of interfaces past the cap
  InterfaceKey last_key_{};
  kdFlowTracker* last_tracker_ = nullptr;
  std::map<RateKey, uint32_t> rates_;  // the sampling rates shown
  RateKey last_rate_key_{};
  uint32_t last_rate_ = 0;
  // The last interface counters of each sFlow interface: its drops are their growth.
  std::map<std::pair<std::string, uint32_t>, uint64_t> if_drops_;
  kdFlowTrackerConfig config_;
  EventTarget* target_ = nullptr;
  RunCounters* counters_ = nullptr;
  uint64_t start_us_ = 0;
  uint64_t now_us_ = 0;
  uint64_t next_report_us_ = 0;
  uint64_t untracked_ = 0;  // records without addresses, since the last report
};

}  // namespace kdreplay
