// Capture files and live interfaces as a source of events: the packets of each go through a
// flow tracker of its own, whose events reach the plugin through the EventTarget. Files are
// opened before the plugin starts, so that a bad file name stops the run with nothing done.
// See docs/capture.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kd_capture_reader.h"
#include "kd_local_networks.h"
#include "replay_event_target.h"

namespace kdreplay {

struct CaptureOptions {
  std::vector<std::string> files;  // replayed in this order
  std::string live;                // an interface, instead of files
  uint8_t role = kdInterface::kRoleInternal;
  kdLocalNetworks local_networks = kdLocalNetworks::Defaults();
  uint64_t update_interval_us = 15'000'000;
  size_t max_flows = 1'000'000;
  bool realtime = false;
  bool progress = false;
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

  // Opens every file, or the interface. Reports the first that cannot be opened and returns
  // false.
  bool Open();
  // Feeds everything to target and ends each capture (its flows expire and are delivered).
  // False when a file could not be read to its end, the capture failed, or a file replay was
  // interrupted; each is reported. A live capture ends normally on SIGINT or SIGTERM.
  bool Play(EventTarget& target);

 private:
  bool PlayFile(kdCaptureFile& file, EventTarget& target);
  bool PlayLive(EventTarget& target);
  std::shared_ptr<kdInterface> Interface(const std::string& name, uint32_t index,
                                         uint32_t capture_type) const;
  kdFlowTrackerConfig TrackerConfig(std::shared_ptr<kdInterface> iface) const;

  CaptureOptions options_;
  std::vector<kdCaptureFile> files_;
  std::unique_ptr<kdLiveCapture> live_;
};

}  // namespace kdreplay
