#include "replay_live_interface.h"

#include <algorithm>
#include <utility>

#include "kd_capture_reader.h"
#include "kd_packet_decoder.h"
#include "replay_report.h"

namespace kdreplay {

namespace {

long long Seconds(LiveInterface::Clock::duration duration) {
  return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

}  // namespace

LiveInterface::LiveInterface(std::string name, kdLiveCaptureOptions options, size_t max_flows,
                             std::function<kdFlowTrackerConfig(uint32_t)> tracker_config)
    : name_(std::move(name)),
      options_(std::move(options)),
      max_flows_(max_flows),
      tracker_config_(std::move(tracker_config)) {}

LiveInterface::~LiveInterface() = default;

bool LiveInterface::TryOpen(std::string& error, kdLiveCapture::Failure& failure) {
  auto capture = std::make_unique<kdLiveCapture>();
  if (!capture->Open(name_, options_, error, failure)) return false;
  if (!kd_link::IsSupported(capture->LinkType())) {
    Report("%s: link type %s is not decoded; its packets count as discarded", name_.c_str(),
           kdLinkTypeName(capture->LinkType()).c_str());
  }
  capture_ = std::move(capture);
  up_ = true;
  return true;
}

bool LiveInterface::Open(std::string& error, kdLiveCapture::Failure& failure) {
  if (TryOpen(error, failure)) return true;
  if (failure != kdLiveCapture::Failure::kUnavailable) return false;
  Report(
      "%s: %s; capturing it once it is there and up (tried after %llds, then at doubling "
      "intervals up to %llds)",
      name_.c_str(), error.c_str(), Seconds(kFirstRetry), Seconds(kLongestRetry));
  return true;
}

void LiveInterface::StartTracker() {
  bridge_ = std::make_unique<TrackerBridge>(
      *target_, name_, [this] { return packets(); }, max_flows_, *counters_);
  const kdFlowTrackerConfig config = tracker_config_(capture_->Index());
  tracker_ = std::make_unique<kdFlowTracker>(config, *bridge_);
  if (origin_us_ == 0 || config.window_us == 0) {
    capture_->Start(*tracker_);
  } else {
    // The last window boundary of the plugin's, so that its windows and the tracker's agree.
    const uint64_t now_us =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    const uint64_t since = now_us > origin_us_ ? now_us - origin_us_ : 0;
    tracker_->Start(origin_us_ + since / config.window_us * config.window_us);
  }
  Report("%s: %s", name_.c_str(),
         captured_before_ ? "capturing again" : "capturing until SIGINT or SIGTERM");
  captured_before_ = true;
  next_state_check_ = Clock::now() + kStateCheck;
}

void LiveInterface::Begin(EventTarget& target, Clock::time_point now, uint64_t origin_us,
                          InterfaceCounters& counters) {
  target_ = &target;
  counters_ = &counters;
  origin_us_ = origin_us;
  unavailable_since_ = now;
  if (capture_) {
    StartTracker();
  } else {
    retry_delay_ = kFirstRetry;
    next_try_ = now + retry_delay_;
  }
}

int LiveInterface::Fd() const {
  return capture_ ? capture_->SelectableFd() : -1;
}

void LiveInterface::Lose(const std::string& reason, Clock::time_point now) {
  Report(
      "%s: %s; capturing it again once it is back (tried after %llds, then at doubling "
      "intervals up to %llds)",
      name_.c_str(), reason.c_str(), Seconds(kFirstRetry), Seconds(kLongestRetry));
  if (up_) unavailable_since_ = now;
  up_ = false;
  closing_ = true;
  // A block the kernel was filling is handed over at its timeout.
  close_at_ = now + std::chrono::milliseconds(2 * kdLiveCapture::kBlockTimeoutMs);
}

void LiveInterface::Close(Clock::time_point now) {
  tracker_->Finish();
  kdLiveCaptureCounters counts = capture_->Counters();
  closed_.captured += counts.captured;
  closed_.dropped += counts.dropped;
  closed_.interface_dropped += counts.interface_dropped;
  tracker_.reset();
  bridge_.reset();
  capture_.reset();
  closing_ = false;
  retry_delay_ = kFirstRetry;
  next_try_ = now + retry_delay_;
}

void LiveInterface::FollowState(Clock::time_point now) {
  next_state_check_ = now + kStateCheck;
  kdLinkState link = kdQueryLink(name_);
  // A packet socket stays bound to the interface it was opened on: one deleted and made again
  // under the same name is a new interface, which libpcap may not notice.
  if (!link.exists || link.index != capture_->Index()) {
    Lose("The interface disappeared", now);
    return;
  }
  if (link.up == up_) return;
  up_ = link.up;
  if (up_) {
    Report("%s: up again; capturing", name_.c_str());
  } else {
    unavailable_since_ = now;
    Report("%s: the interface went down; capturing it again once it is up", name_.c_str());
  }
}

void LiveInterface::Serve(Clock::time_point now) {
  if (capture_) {
    std::string error;
    const bool read = capture_->Dispatch(*tracker_, error);
    if (closing_) {
      if (now >= close_at_) Close(now);
    } else if (!read) {
      Lose(error, now);
    } else if (now >= next_state_check_) {
      FollowState(now);
    }
    return;
  }
  if (now < next_try_) return;
  std::string error;
  kdLiveCapture::Failure failure = kdLiveCapture::Failure::kNone;
  if (!TryOpen(error, failure)) {
    retry_delay_ = std::min(retry_delay_ * 2, kLongestRetry);
    next_try_ = now + retry_delay_;
    return;
  }
  StartTracker();
}

void LiveInterface::Publish() const {
  if (counters_ == nullptr) return;
  const kdLiveCaptureCounters counts = Counters();
  counters_->received.store(counts.captured, std::memory_order_relaxed);
  counters_->kernel_dropped.store(counts.dropped, std::memory_order_relaxed);
  counters_->interface_dropped.store(counts.interface_dropped, std::memory_order_relaxed);
  counters_->flows_tracked.store(tracker_ ? tracker_->FlowCount() : 0, std::memory_order_relaxed);
}

void LiveInterface::Finish() {
  if (capture_) {
    std::string error;
    if (!capture_->Dispatch(*tracker_, error) && !closing_)
      Report("%s: %s", name_.c_str(), error.c_str());
    tracker_->Finish();
  }
  kdLiveCaptureCounters counts = Counters();
  Report("%s: %llu packets captured, %llu dropped by the capture, %llu dropped by the interface",
         name_.c_str(), static_cast<unsigned long long>(counts.captured),
         static_cast<unsigned long long>(counts.dropped),
         static_cast<unsigned long long>(counts.interface_dropped));
}

uint64_t LiveInterface::packets() const {
  return closed_.captured + (capture_ ? capture_->packets() : 0);
}

kdLiveCaptureCounters LiveInterface::Counters() const {
  kdLiveCaptureCounters counts = closed_;
  if (capture_) {
    kdLiveCaptureCounters open = capture_->Counters();
    counts.captured += open.captured;
    counts.dropped += open.dropped;
    counts.interface_dropped += open.interface_dropped;
  }
  return counts;
}

}  // namespace kdreplay
