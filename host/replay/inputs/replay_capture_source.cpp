#include "replay_capture_source.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <thread>
#include <utility>

#include "kd_packet_decoder.h"
#include "replay_capture_clock.h"
#include "replay_flow_exporter.h"
#include "replay_flow_listener.h"
#include "replay_report.h"
#include "replay_signals.h"
#include "replay_tracker_bridge.h"

namespace kdreplay {

namespace {

// The live trackers' clock (kdLiveCapture's).
uint64_t WallMicroseconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// Publishes a count the capture thread keeps on top of what the counter held before, so that
// files sharing a name (two "a.pcap" in different folders) add up. Files are replayed one after
// the other, so each counter has one writer at a time: a plain store is enough.
class CounterFeed {
 public:
  explicit CounterFeed(Counter& counter) : counter_(counter), base_(counter.load()) {}
  void To(uint64_t value) { counter_.store(base_ + value, std::memory_order_relaxed); }

 private:
  Counter& counter_;
  const uint64_t base_;
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

}  // namespace

CaptureSource::CaptureSource(CaptureOptions options) : options_(std::move(options)) {}

CaptureSource::~CaptureSource() = default;

bool CaptureSource::Open(std::string& error, bool& filter_error) {
  filter_error = false;
  std::string reason;
  for (const std::string& name : options_.live) {
    kdLiveCaptureOptions live_options = options_.live_options;
    live_options.filter = options_.filter;
    auto iface = std::make_unique<LiveInterface>(
        name, live_options, options_.max_flows, [this, name](uint32_t index) {
          return TrackerConfig(Interface(name, index, kCaptureTypeLive));
        });
    kdLiveCapture::Failure failure = kdLiveCapture::Failure::kNone;
    if (!iface->Open(reason, failure)) {
      filter_error = failure == kdLiveCapture::Failure::kFilter;
      error = filter_error ? FilterError(options_.filter, reason) : name + ": " + reason;
      return false;
    }
    live_.push_back(std::move(iface));
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
  InterfaceCounters& counters = counters_->Interface(name);
  TrackerBridge bridge(
      target, path, [&file] { return file.packets(); }, options_.max_flows, counters);
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
      counters_->capture_time_us.store(latest_us_, std::memory_order_relaxed);
    };
  }
  // Published between packets, where signals are served: a few relaxed stores per packet.
  CounterFeed received(counters.received);
  CounterFeed filtered(counters.filtered);
  auto count = [&] {
    received.To(file.packets());
    filtered.To(file.filtered());
    counters.flows_tracked.store(tracker.FlowCount(), std::memory_order_relaxed);
  };
  const std::function<void()> write_counters = [this] { WriteCounters(); };
  replay.stop = [&] {
    count();
    ServeSignalRequests(target, write_counters);
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
  count();
  // A request that came while the last read waited (a pipe) is still answered.
  ServeSignalRequests(target, write_counters);
  // The file's last window ends after its last packet, not in the same second.
  if (started) CaptureClock::Instance().AdvanceTo((latest_us_ / 1'000'000 + 1) * 1'000'000);
  if (retimed != 0)
    Report("%s: %llu packets older than the capture time already reached counted at that time",
           path.c_str(), static_cast<unsigned long long>(retimed));
  if (!ok) Report("%s: %s", path.c_str(), error.c_str());
  return ok;
}

void CaptureSource::WriteCounters() const {
  counters_->ForEachInterface([](const std::string& name, const InterfaceCounters& counters) {
    Report("%s", DescribeCapture(name, counters).c_str());
  });
}

bool CaptureSource::StartWindows(bool align) {
  if (live_.empty() && !listener_) return true;
  live_origin_us_ = WallMicroseconds();
  const uint64_t window = options_.window_us;
  if (!align || window == 0 || live_origin_us_ % window == 0) return true;
  const uint64_t boundary = (live_origin_us_ / window + 1) * window;
  const time_t seconds = static_cast<time_t>(boundary / 1'000'000);
  tm calendar{};
  char at[32] = "?";
  if (gmtime_r(&seconds, &calendar) != nullptr) strftime(at, sizeof(at), "%H:%M:%S", &calendar);
  Report(
      "the first window starts at %s UTC, on a multiple of %llu s; packets before it are not "
      "counted",
      at, static_cast<unsigned long long>(window / 1'000'000));
  std::vector<pollfd> waits;
  uint64_t skipped = 0;
  for (uint64_t now = live_origin_us_; now < boundary; now = WallMicroseconds()) {
    if (InterruptRequested()) return false;
    waits.clear();
    for (const auto& iface : live_) waits.push_back(pollfd{iface->Fd(), POLLIN, 0});
    const uint64_t wait_ms = std::min<uint64_t>(200, (boundary - now + 999) / 1000);
    poll(waits.data(), waits.size(), static_cast<int>(wait_ms));
    for (auto& iface : live_) skipped += iface->Discard();
  }
  // time() reads a coarser clock that may still show the second before; the plugin stamps its
  // first window with it.
  while (time(nullptr) < seconds) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  live_origin_us_ = boundary;
  if (skipped != 0)
    Report("%llu packets before the first window were not counted",
           static_cast<unsigned long long>(skipped));
  return true;
}

bool CaptureSource::GiveUpDue(LiveInterface::Clock::time_point now) const {
  // Collector sockets never go away: only interfaces can all be lost.
  if (options_.give_up == 0 || live_.empty()) return false;
  LiveInterface::Clock::time_point latest = LiveInterface::Clock::time_point::min();
  for (const auto& iface : live_) {
    if (iface->Available()) return false;
    latest = std::max(latest, iface->unavailable_since());
  }
  return now - latest >= std::chrono::seconds(options_.give_up);
}

bool CaptureSource::PlayLive(EventTarget& target) {
  // Every interface and collector socket is served by this thread, which also delivers the
  // events.
  for (auto& iface : live_)
    iface->Begin(target, LiveInterface::Clock::now(), live_origin_us_,
                 counters_->Interface(iface->name()));
  if (listener_) {
    kdFlowTrackerConfig config = TrackerConfig(Interface("", 0, kCaptureTypeCollector));
    config.observer = nullptr;  // collected flows are not exported again
    listener_->CountInto(*counters_);
    listener_->Start(config, live_origin_us_ != 0 ? live_origin_us_ : WallMicroseconds(), target);
  }
  auto count = [this] {
    for (const auto& iface : live_) iface->Publish();
  };
  const std::function<void()> write_counters = [this] { WriteCounters(); };
  auto captured = [this] {
    uint64_t packets = 0;
    for (const auto& iface : live_) packets += iface->packets();
    return packets;
  };
  std::vector<pollfd> waits;
  while (!InterruptRequested() && !LimitReached(captured())) {
    waits.clear();
    for (const auto& iface : live_) waits.push_back(pollfd{iface->Fd(), POLLIN, 0});
    if (listener_) {
      for (int fd : listener_->Fds()) waits.push_back(pollfd{fd, POLLIN, 0});
    }
    // A signal ends the wait at once (the handled signals reach this thread only). Interfaces
    // not open have no descriptor, which poll passes over.
    poll(waits.data(), waits.size(), 200);
    const auto now = LiveInterface::Clock::now();
    for (auto& iface : live_) iface->Serve(now);
    if (listener_) listener_->Serve(WallMicroseconds());
    if (exporter_) exporter_->ObserveTime(WallMicroseconds());
    count();
    ServeSignalRequests(target, write_counters);
    if (GiveUpDue(now)) {
      Report("no interface has been captured for %llu s (--give-up); stopping",
             static_cast<unsigned long long>(options_.give_up));
      gave_up_ = true;
      break;
    }
  }
  if (!live_.empty()) {
    // Packets that arrived before the stop may still sit in a block not yet handed over.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kdLiveCapture::kBlockTimeoutMs));
  }
  for (auto& iface : live_) iface->Finish();
  if (listener_) {
    listener_->Serve(WallMicroseconds());
    listener_->Finish();
  }
  count();
  return !gave_up_;
}

}  // namespace kdreplay
