// Capture files (classic pcap and pcapng) read with libpcap. Each feeds one flow tracker; the
// caller finishes the tracker when it is done. Live interfaces: kd_live_capture.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kd_flow_tracker.h"
#include "kd_packet_filter.h"

struct pcap;

struct kdReplayOptions {
  // Replays at the file's own pace (the gaps between packet times) instead of at once.
  bool realtime = false;
  // Called about once a second of wall time with the packets read and the share of the file
  // read (0 to 1), and once at the end.
  std::function<void(uint64_t packets, double fraction)> progress;
  // Called with each packet's time (microseconds since the epoch) before the packet reaches the
  // filter and the tracker.
  std::function<void(uint64_t time_us)> before_packet;
  // Polled between packets: true stops the replay early (a signal, for instance).
  std::function<bool()> stop;
  // Packets it rejects are read (and counted in packets()) but not given to the tracker.
  const kdPacketFilter* filter = nullptr;
};

// Names a link type for messages: its libpcap name, or its number.
std::string kdLinkTypeName(int link_type);

// The capture time of the first packet of the file at path (not standard input), in microseconds
// since the epoch. False when the file cannot be read or holds no packet.
bool kdFirstPacketTime(const std::string& path, uint64_t& time_us);

class kdCaptureFile {
 public:
  kdCaptureFile() = default;
  kdCaptureFile(const kdCaptureFile&) = delete;
  kdCaptureFile& operator=(const kdCaptureFile&) = delete;
  kdCaptureFile(kdCaptureFile&& other) noexcept;
  kdCaptureFile& operator=(kdCaptureFile&& other) noexcept;
  ~kdCaptureFile();

  // Opens path ("-" is standard input). False, with the reason in error, when libpcap cannot.
  bool Open(const std::string& path, std::string& error);
  const std::string& path() const { return path_; }
  int LinkType() const;

  // Feeds every packet to tracker. False when reading failed before the end of the file (a
  // file cut in the middle of a packet, a damaged block): error then says where, and the
  // packets before were delivered. Stopping through options.stop is not a failure.
  bool Replay(kdFlowTracker& tracker, const kdReplayOptions& options, std::string& error);
  uint64_t packets() const { return packets_; }
  // Of those, the packets the filter rejected.
  uint64_t filtered() const { return filtered_; }

 private:
  double Fraction() const;

  pcap* handle_ = nullptr;
  // The file's stdio buffer: large, so that the file is read in few large reads. Freed after
  // the handle, which closes the file.
  std::unique_ptr<char[]> buffer_;
  std::string path_;
  uint64_t size_ = 0;
  uint64_t packets_ = 0;
  uint64_t filtered_ = 0;
};
