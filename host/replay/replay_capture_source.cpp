#include "replay_capture_source.h"

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <utility>

#include "kd_packet_decoder.h"
#include "replay_report.h"
#include "replay_signals.h"

namespace kdreplay {

namespace {

// Hands the tracker's events to the plugin runner, naming the capture position for messages.
class TrackerBridge : public kdCaptureEventTarget {
 public:
  TrackerBridge(EventTarget& target, std::string name, std::function<uint64_t()> packets,
                size_t max_flows)
      : target_(target),
        name_(std::move(name)),
        packets_(std::move(packets)),
        max_flows_(max_flows) {}

  void DeliverFlowMap(kdPluginProcessor::Event event, kdFlowMap* map) override {
    target_.DeliverFlowMap(Where(), *map, event);
  }
  void DeliverFlow(kdPluginProcessor::Event event, std::shared_ptr<kdFlow>& flow) override {
    target_.DeliverFlow(Where(), flow, event);
  }
  // Statistics come once per update interval: a full flow table is reported as often.
  void DeliverPacketStats(const std::string& iface, kdPacketStats* stats) override {
    if (stats->flow_dropped > 0) {
      Report(
          "%s: the flow table is full (--max-flows %zu): %llu packets of untracked flows "
          "discarded since the last update",
          Where().c_str(), max_flows_, static_cast<unsigned long long>(stats->flow_dropped));
    }
    target_.DeliverStats(Where(), iface, *stats);
  }

 private:
  std::string Where() const { return name_ + ": packet " + std::to_string(packets_()); }

  EventTarget& target_;
  std::string name_;
  std::function<uint64_t()> packets_;  // packets read so far
  size_t max_flows_;
};

std::string BaseName(const std::string& path) {
  if (path == "-") return "stdin";
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? path : name;
}

void WarnIfUnsupported(const std::string& name, int link_type) {
  if (kd_link::IsSupported(link_type)) return;
  Report("%s: link type %s is not decoded; its packets count as discarded", name.c_str(),
         kdLinkTypeName(link_type).c_str());
}

}  // namespace

CaptureSource::CaptureSource(CaptureOptions options) : options_(std::move(options)) {}

CaptureSource::~CaptureSource() = default;

bool CaptureSource::Open() {
  std::string error;
  if (!options_.live.empty()) {
    live_ = std::make_unique<kdLiveCapture>();
    if (!live_->Open(options_.live, error)) {
      Report("%s: %s", options_.live.c_str(), error.c_str());
      return false;
    }
    return true;
  }
  for (const std::string& path : options_.files) {
    kdCaptureFile file;
    if (!file.Open(path, error)) {
      Report("%s: %s", path.c_str(), error.c_str());
      return false;
    }
    files_.push_back(std::move(file));
  }
  return true;
}

bool CaptureSource::Play(EventTarget& target) {
  if (live_) return PlayLive(target);
  bool ok = true;
  for (kdCaptureFile& file : files_) {
    if (InterruptRequested()) break;
    ok = PlayFile(file, target) && ok;
  }
  if (InterruptRequested()) {
    Report("interrupted; stopping the plugin");
    return false;
  }
  return ok;
}

std::shared_ptr<kdInterface> CaptureSource::Interface(const std::string& name, uint32_t index,
                                                      uint32_t capture_type) const {
  auto iface = std::make_shared<kdInterface>();
  iface->name = name;
  iface->index = index;
  iface->capture_type = capture_type;
  iface->role = options_.role;
  return iface;
}

kdFlowTrackerConfig CaptureSource::TrackerConfig(std::shared_ptr<kdInterface> iface) const {
  kdFlowTrackerConfig config;
  config.iface = std::move(iface);
  config.local_networks = options_.local_networks;
  config.update_interval_us = options_.update_interval_us;
  config.max_flows = options_.max_flows;
  return config;
}

bool CaptureSource::PlayFile(kdCaptureFile& file, EventTarget& target) {
  const std::string& path = file.path();
  std::string name = BaseName(path);
  WarnIfUnsupported(path, file.LinkType());
  TrackerBridge bridge(
      target, path, [&file] { return file.packets(); }, options_.max_flows);
  kdFlowTracker tracker(TrackerConfig(Interface(name, kdInterface::kNoIndex, kCaptureTypeFile)),
                        bridge);
  kdReplayOptions replay;
  replay.realtime = options_.realtime;
  replay.stop = [] { return InterruptRequested(); };
  bool terminal = isatty(STDERR_FILENO) != 0;
  if (options_.progress) {
    replay.progress = [&](uint64_t read, double fraction) {
      fprintf(stderr, "%skorvia-replay: %s: %llu packets, %d%%%s", terminal ? "\r" : "",
              path.c_str(), static_cast<unsigned long long>(read), static_cast<int>(fraction * 100),
              terminal ? "\033[K" : "\n");
      fflush(stderr);
    };
  }
  std::string error;
  bool ok = file.Replay(tracker, replay, error);
  if (options_.progress && terminal) fputc('\n', stderr);
  tracker.Finish();
  if (!ok) Report("%s: %s", path.c_str(), error.c_str());
  return ok;
}

bool CaptureSource::PlayLive(EventTarget& target) {
  WarnIfUnsupported(options_.live, live_->LinkType());
  kdLiveCapture& live = *live_;
  TrackerBridge bridge(
      target, options_.live, [&live] { return live.packets(); }, options_.max_flows);
  kdFlowTracker tracker(TrackerConfig(Interface(options_.live, live_->Index(), kCaptureTypeLive)),
                        bridge);
  Report("%s: capturing until SIGINT or SIGTERM", options_.live.c_str());
  std::string error;
  bool ok = live_->Run(
      tracker, [] { return InterruptRequested(); }, error);
  tracker.Finish();
  if (!ok) Report("%s: %s", options_.live.c_str(), error.c_str());
  return ok;
}

}  // namespace kdreplay
