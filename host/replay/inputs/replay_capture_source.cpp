#include "replay_capture_source.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <utility>

#include "kd_packet_decoder.h"
#include "replay_capture_clock.h"
#include "replay_flow_exporter.h"
#include "replay_flow_listener.h"
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

// libpcap's messages for a file usually start with its name already.
std::string WithName(const std::string& path, const std::string& error) {
  if (error.compare(0, path.size() + 2, path + ": ") == 0) return error;
  return path + ": " + error;
}

std::string FilterError(const std::string& filter, const std::string& reason) {
  return "--filter \"" + filter + "\": " + reason;
}

void WarnIfUnsupported(const std::string& name, int link_type) {
  if (kd_link::IsSupported(link_type)) return;
  Report("%s: link type %s is not decoded; its packets count as discarded", name.c_str(),
         kdLinkTypeName(link_type).c_str());
}

uint64_t WallMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

}  // namespace

CaptureSource::CaptureSource(CaptureOptions options) : options_(std::move(options)) {}

CaptureSource::~CaptureSource() = default;

bool CaptureSource::Open(std::string& error, bool& filter_error) {
  filter_error = false;
  std::string reason;
  for (const std::string& iface : options_.live) {
    auto capture = std::make_unique<kdLiveCapture>();
    kdLiveCaptureOptions live_options = options_.live_options;
    live_options.filter = options_.filter;
    if (!capture->Open(iface, live_options, reason, filter_error)) {
      error = filter_error ? FilterError(options_.filter, reason) : iface + ": " + reason;
      return false;
    }
    live_.push_back(std::move(capture));
  }
  for (const std::string& path : options_.files) {
    kdCaptureFile file;
    if (!file.Open(path, reason)) {
      error = WithName(path, reason);
      return false;
    }
    std::unique_ptr<kdPacketFilter> filter;
    if (!options_.filter.empty()) {
      filter = std::make_unique<kdPacketFilter>();
      if (!filter->Compile(options_.filter, file.LinkType(), reason)) {
        error = FilterError(options_.filter, WithName(path, reason));
        filter_error = true;
        return false;
      }
    }
    files_.push_back(std::move(file));
    filters_.push_back(std::move(filter));
  }
  OrderFiles();
  if (!options_.listen.endpoints.empty()) {
    listener_ = std::make_unique<FlowListener>(options_.listen);
    if (!listener_->Open(error)) return false;
  }
  if (options_.export_flows.enabled) {
    exporter_ = std::make_unique<FlowExporter>(options_.export_flows);
    if (!exporter_->Open(error)) return false;
  }
  return true;
}

void CaptureSource::OrderFiles() {
  // Standard input cannot be looked ahead in: the order given stands.
  for (const kdCaptureFile& file : files_) {
    if (file.path() == "-") return;
  }
  std::vector<std::pair<uint64_t, size_t>> firsts;  // first packet time, position given
  for (size_t i = 0; i < files_.size(); ++i) {
    uint64_t time_us = 0;  // a file without packets goes first: it changes nothing
    kdFirstPacketTime(files_[i].path(), time_us);
    firsts.push_back({time_us, i});
  }
  std::stable_sort(firsts.begin(), firsts.end());
  bool reordered = false;
  for (size_t i = 0; i < firsts.size(); ++i) reordered = reordered || firsts[i].second != i;
  if (!reordered) return;
  std::vector<kdCaptureFile> files;
  std::vector<std::unique_ptr<kdPacketFilter>> filters;
  std::string names;
  for (const auto& first : firsts) {
    files.push_back(std::move(files_[first.second]));
    filters.push_back(std::move(filters_[first.second]));
    names += (names.empty() ? "" : ", ") + files.back().path();
  }
  files_ = std::move(files);
  filters_ = std::move(filters);
  Report("capture files replayed in the order of their first packets: %s", names.c_str());
}

bool CaptureSource::LimitReached(uint64_t packets) const {
  if (options_.count != 0 && packets >= options_.count) return true;
  return options_.duration != 0 &&
         std::chrono::steady_clock::now() - started_ >= std::chrono::seconds(options_.duration);
}

bool CaptureSource::Play(EventTarget& target) {
  started_ = std::chrono::steady_clock::now();
  bool ok = PlayInputs(target);
  // Whatever ended the run, every flow still open goes to the collector.
  if (exporter_) exporter_->Finish();
  return ok;
}

bool CaptureSource::PlayInputs(EventTarget& target) {
  if (!live_.empty() || listener_) return PlayLive(target);
  bool ok = true;
  for (size_t i = 0; i < files_.size(); ++i) {
    if (InterruptRequested() || LimitReached(packets_before_)) break;
    ok = PlayFile(i, target) && ok;
    packets_before_ += files_[i].packets();
  }
  if (InterruptRequested()) {
    if (StoppedBySignal()) Report("interrupted; stopping the plugin");
    return false;
  }
  return ok;
}

void CaptureSource::FollowWindows(uint64_t window_us) {
  options_.update_interval_us = std::min(options_.update_interval_us, window_us);
  options_.window_us = window_us;
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
  config.window_us = options_.window_us;
  config.max_flows = options_.max_flows;
  config.observer = exporter_.get();
  return config;
}

bool CaptureSource::PlayFile(size_t index, EventTarget& target) {
  kdCaptureFile& file = files_[index];
  const std::string& path = file.path();
  std::string name = BaseName(path);
  WarnIfUnsupported(path, file.LinkType());
  TrackerBridge bridge(
      target, path, [&file] { return file.packets(); }, options_.max_flows);
  kdFlowTracker tracker(TrackerConfig(Interface(name, kdInterface::kNoIndex, kCaptureTypeFile)),
                        bridge);
  kdReplayOptions replay;
  replay.realtime = options_.realtime;
  replay.filter = filters_[index].get();
  bool started = false;
  uint64_t retimed = 0;
  if (CaptureClock::Instance().Enabled()) {
    replay.before_packet = [&](uint64_t time_us) {
      if (!clock_started_) {
        // Windows start on a multiple of the window from the epoch, so that the bins of two
        // captures or two probes line up: the clock starts there, before the first packet.
        clock_started_ = true;
        clock_origin_us_ = time_us / 1'000'000 * 1'000'000;
        if (options_.window_us != 0) clock_origin_us_ -= clock_origin_us_ % options_.window_us;
        CaptureClock::Instance().AdvanceTo(clock_origin_us_);
      }
      if (time_us < latest_us_) {
        ++retimed;  // capture time never runs backwards: it counts at the latest time
      } else {
        latest_us_ = time_us;
      }
      // The tracker delivers what is due before the plugin's clock moves on, so that traffic
      // lands in the window it was captured in. Its updates fall on whole seconds, as windows
      // do, and its windows on the plugin's, counted from the first file's first second.
      if (!started) {
        started = true;
        uint64_t start_us = latest_us_ / 1'000'000 * 1'000'000;
        const uint64_t window = options_.window_us;
        if (window != 0) start_us -= (start_us - clock_origin_us_) % window;
        tracker.Start(start_us);
      } else {
        tracker.AdvanceTime(time_us);
      }
      CaptureClock::Instance().AdvanceTo(latest_us_);
    };
  }
  replay.stop = [this, &target, &file] {
    ServeSignalRequests(target);
    return InterruptRequested() || LimitReached(packets_before_ + file.packets());
  };
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
  // The file's last window ends after its last packet, not in the same second.
  if (started) CaptureClock::Instance().AdvanceTo((latest_us_ / 1'000'000 + 1) * 1'000'000);
  if (retimed != 0)
    Report("%s: %llu packets older than the capture time already reached counted at that time",
           path.c_str(), static_cast<unsigned long long>(retimed));
  if (!ok) Report("%s: %s", path.c_str(), error.c_str());
  return ok;
}

bool CaptureSource::PlayLive(EventTarget& target) {
  // One tracker per interface; all are served by this thread, which also delivers the events.
  std::vector<std::unique_ptr<TrackerBridge>> bridges;
  std::vector<std::unique_ptr<kdFlowTracker>> trackers;
  std::vector<pollfd> waits;
  for (auto& capture : live_) {
    const std::string& name = capture->Name();
    WarnIfUnsupported(name, capture->LinkType());
    kdLiveCapture* live = capture.get();
    bridges.push_back(std::make_unique<TrackerBridge>(
        target, name, [live] { return live->packets(); }, options_.max_flows));
    trackers.push_back(std::make_unique<kdFlowTracker>(
        TrackerConfig(Interface(name, capture->Index(), kCaptureTypeLive)), *bridges.back()));
    capture->Start(*trackers.back());
    waits.push_back(pollfd{capture->SelectableFd(), POLLIN, 0});
  }
  for (auto& capture : live_)
    Report("%s: capturing until SIGINT or SIGTERM", capture->Name().c_str());
  if (listener_) {
    kdFlowTrackerConfig config = TrackerConfig(Interface("", 0, kCaptureTypeCollector));
    config.observer = nullptr;  // collected flows are not exported again
    listener_->Start(config, WallMicroseconds(), target);
    for (int fd : listener_->Fds()) waits.push_back(pollfd{fd, POLLIN, 0});
  }

  auto dispatch_all = [&] {
    std::string error;
    for (size_t i = 0; i < live_.size(); ++i) {
      if (!live_[i]->Dispatch(*trackers[i], error)) {
        Report("%s: %s", live_[i]->Name().c_str(), error.c_str());
        return false;
      }
    }
    return true;
  };
  auto captured = [this] {
    uint64_t packets = 0;
    for (const auto& capture : live_) packets += capture->packets();
    return packets;
  };
  bool ok = true;
  while (ok && !InterruptRequested() && !LimitReached(captured())) {
    // A signal ends the wait at once (the handled signals reach this thread only).
    poll(waits.data(), waits.size(), 200);
    ok = dispatch_all();
    if (listener_) listener_->Serve(WallMicroseconds());
    if (exporter_) exporter_->ObserveTime(WallMicroseconds());
    ServeSignalRequests(target);
  }
  if (ok && !live_.empty()) {
    // Packets that arrived before the stop may still sit in a block not yet handed over.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kdLiveCapture::kBlockTimeoutMs));
    ok = dispatch_all();
  }
  if (listener_) {
    listener_->Serve(WallMicroseconds());
    listener_->Finish();
  }
  for (size_t i = 0; i < live_.size(); ++i) {
    trackers[i]->Finish();
    kdLiveCaptureCounters counts = live_[i]->Counters();
    Report("%s: %llu packets captured, %llu dropped by the capture, %llu dropped by the interface",
           live_[i]->Name().c_str(), static_cast<unsigned long long>(counts.captured),
           static_cast<unsigned long long>(counts.dropped),
           static_cast<unsigned long long>(counts.interface_dropped));
  }
  return ok;
}

}  // namespace kdreplay
