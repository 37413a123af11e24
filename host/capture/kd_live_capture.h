// A live interface read with libpcap, feeding one flow tracker. Several captures can be served
// by one thread: each offers a descriptor to wait on and reads, without blocking, what the
// kernel holds.
#pragma once

#include <cstdint>
#include <string>

#include "kd_flow_tracker.h"

struct pcap;

struct kdLiveCaptureOptions {
  // Bytes kept of each packet: enough for every header the decoder walks and for the payload
  // start that host names are read from.
  static constexpr int kDefaultSnaplen = 2048;
  static constexpr int kDefaultBufferMiB = 32;

  int snaplen = kDefaultSnaplen;
  int buffer_mib = kDefaultBufferMiB;  // the kernel ring, which absorbs bursts
  std::string filter;                  // libpcap filter expression, applied in the kernel
};

// What the capture counted, as libpcap reports it.
struct kdLiveCaptureCounters {
  uint64_t captured = 0;           // packets read
  uint64_t dropped = 0;            // dropped by the capture for want of buffer space
  uint64_t interface_dropped = 0;  // dropped by the interface or its driver
};

// What the system says of an interface at the moment.
struct kdLinkState {
  bool exists = false;
  bool up = false;     // administratively up (IFF_UP)
  uint32_t index = 0;  // the interface index, when it exists
};
kdLinkState kdQueryLink(const std::string& iface);

class kdLiveCapture {
 public:
  // Why Open failed.
  enum class Failure {
    kNone,
    kUnavailable,  // no such interface, or it is down: it may be there later
    kFilter,       // libpcap refuses the filter expression
    kRefused,      // anything else: no permission, no packet sockets, ...
  };

  // The kernel hands a block of packets over when it is full or this long after its first
  // packet: after a stop, waiting this long once more collects what arrived before it.
  static constexpr int kBlockTimeoutMs = 100;

  kdLiveCapture() = default;
  kdLiveCapture(const kdLiveCapture&) = delete;
  kdLiveCapture& operator=(const kdLiveCapture&) = delete;
  ~kdLiveCapture();

  // Opens the interface in promiscuous mode. False, with the reason in error (no such device,
  // no permission) and its kind in failure, when it cannot.
  bool Open(const std::string& iface, const kdLiveCaptureOptions& options, std::string& error,
            Failure& failure);
  const std::string& Name() const { return iface_; }
  int LinkType() const;
  // The interface index, or kdInterface::kNoIndex.
  uint32_t Index() const { return index_; }
  // A descriptor that turns readable when packets wait, or -1 (then poll every so often).
  int SelectableFd() const;

  // Starts the tracker's clock at the current time.
  void Start(kdFlowTracker& tracker);
  // Reads the packets waiting and drops them uncounted, with the kernel's drops so far: what
  // arrives before the first window. Returns how many were read. Never blocks.
  uint64_t Discard();
  // Feeds the packets waiting to tracker, reports the kernel's new drops to it and advances its
  // clock to now (so flow-map events still come on a quiet link). Never blocks. False, with
  // error, when capturing fails.
  bool Dispatch(kdFlowTracker& tracker, std::string& error);
  kdLiveCaptureCounters Counters() const;
  uint64_t packets() const { return packets_; }

 private:
  pcap* handle_ = nullptr;
  std::string iface_;
  uint32_t index_ = 0xFFFFFFFF;
  uint64_t packets_ = 0;
  uint64_t dropped_ = 0;  // drops already reported to the tracker
};
