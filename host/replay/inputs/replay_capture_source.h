// Capture files and live interfaces as a source of events: the packets of each go through a
// flow tracker of its own, whose events reach the plugin through the EventTarget. Files and
// interfaces are opened before the plugin starts, so that a bad name or filter stops the run
// with nothing done. See docs/capture.md.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kd_capture_reader.h"
#include "kd_live_capture.h"
#include "kd_local_networks.h"
#include "replay_counters.h"
#include "replay_event_target.h"
#include "replay_flow_options.h"
#include "replay_live_interface.h"

namespace kdreplay {

class FlowExporter;
class FlowListener;

struct CaptureOptions {
  std::vector<std::string> files;  // replayed in this order
  std::vector<std::string> live;   // interfaces captured together, instead of files
  kdLiveCaptureOptions live_options;
  std::string filter;  // libpcap filter expression for files and interfaces; empty: none
  uint8_t role = kdInterface::kRoleInternal;
  kdLocalNetworks local_networks = kdLocalNetworks::Defaults();
  uint64_t update_interval_us = 15'000'000;
  uint64_t window_us = 0;  // the plugin's reporting window; 0: none
  size_t max_flows = 1'000'000;
  uint64_t count = 0;     // stop after this many packets; 0: never
  uint64_t duration = 0;  // stop after this many seconds of wall time; 0: never
  // Live: stop when no interface has been captured for this many seconds; 0: never.
  uint64_t give_up = 0;
  bool realtime = false;
  bool progress = false;
  FlowListenOptions listen;        // collector sockets, served with the live interfaces
  FlowExportOptions export_flows;  // the tracked traffic's flows sent to a collector
};

// Interface capture types the tracker's flows carry.
constexpr uint32_t kCaptureTypeFile = 1;
constexpr uint32_t kCaptureTypeLive = 2;

class CaptureSource {
 public:
  explicit CaptureSource(CaptureOptions options);
  CaptureSource(const CaptureSource&) = delete;
  CaptureSource& operator=(const CaptureSource&) = delete;
  ~CaptureSource();

  // Opens every file, or every interface, and compiles the filter for each. False, with the
  // reason of the first that fails in error, when one cannot be opened; filter_error tells apart
  // a filter expression libpcap refuses. An interface that does not exist yet, or is down, is
  // waited for instead.
  bool Open(std::string& error, bool& filter_error);
  // Feeds everything to target and ends each capture (its flows expire and are delivered),
  // serving SIGHUP and SIGUSR1 between packets. False when a file could not be read to its end,
  // a file replay was interrupted, or a live capture gave up (GaveUp); each is reported. A live
  // capture ends normally on SIGINT or SIGTERM and reports its packet counts; interfaces that
  // come and go meanwhile are followed (LiveInterface).
  bool Play(EventTarget& target);
  // The live capture ended because no interface had been captured for --give-up seconds.
  bool GaveUp() const { return gave_up_; }
  // The plugin's reporting window: the tracker's updates span at most one window, one falls on
  // every window's end (counted from a multiple of the window since the epoch in a file replay,
  // from StartWindows in a live capture), and there every flow still incomplete counts as
  // complete, so that each packet is reported in the window that holds its capture time.
  void FollowWindows(uint64_t window_us);
  // Called just before the plugin starts, whose windows a live capture's trackers then follow.
  // With align, waits for the next multiple of the window since the epoch (packets that arrive
  // meanwhile are read and not counted; the wait is said and so is what it left out). False when
  // SIGINT or SIGTERM ended the wait. Does nothing for files, whose time is the capture's.
  bool StartWindows(bool align);
  // Counts each capture into counters (those the metrics endpoint serves) rather than into
  // counters of its own. Before Play; counters must outlive Play.
  void CountInto(RunCounters& counters) { counters_ = &counters; }

 private:
  // Puts the files in the order of their first packets (standard input keeps its place), saying
  // so when that is not the order given.
  void OrderFiles();
  bool PlayInputs(EventTarget& target);
  bool PlayFile(size_t index, EventTarget& target);
  bool PlayLive(EventTarget& target);
  // Every interface has been unavailable for the --give-up time.
  bool GiveUpDue(LiveInterface::Clock::time_point now) const;
  std::shared_ptr<kdInterface> Interface(const std::string& name, uint32_t index,
                                         uint32_t capture_type) const;
  kdFlowTrackerConfig TrackerConfig(std::shared_ptr<kdInterface> iface) const;
  // Each capture's counters on standard error, as SIGUSR1 asks.
  void WriteCounters() const;

  CaptureOptions options_;
  std::vector<kdCaptureFile> files_;
  std::vector<std::unique_ptr<kdPacketFilter>> filters_;  // one per file; null without a filter
  std::vector<std::unique_ptr<LiveInterface>> live_;
  bool gave_up_ = false;
  RunCounters own_counters_;
  RunCounters* counters_ = &own_counters_;
  std::unique_ptr<FlowListener> listener_;
  std::unique_ptr<FlowExporter> exporter_;
  // Capture time of a file replay, across its files: the second the plugin's windows are
  // counted from, and the latest packet time reached.
  // Whether --count or --duration says to stop, given the packets read so far.
  bool LimitReached(uint64_t packets) const;
  uint64_t packets_before_ = 0;  // packets of the files already replayed
  std::chrono::steady_clock::time_point started_;
  bool clock_started_ = false;
  uint64_t clock_origin_us_ = 0;
  uint64_t live_origin_us_ = 0;  // wall time the live trackers' windows count from
  uint64_t latest_us_ = 0;
};

}  // namespace kdreplay
