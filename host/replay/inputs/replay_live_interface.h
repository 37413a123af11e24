// One interface of a live capture, kept through its coming and going, so that one interface
// that flaps does not end the capture of the others (docs/capture.md):
//  - While it is there and up, its packets go through a flow tracker of its own to the target.
//  - When it disappears (or is deleted and made again) or its capture fails, that is said once,
//    its tracker ends (every flow expires and is delivered), and it is opened again after 1 s,
//    then after intervals that double up to 30 s. Opened again, it gets a new tracker (and the
//    interface index it has now).
//  - When it goes down, its capture stays open and nothing arrives; it is said once, and again
//    when it is up, from which moment packets are captured again.
// It is followed by Serve, which never blocks: one thread serves every interface of a run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kd_flow_tracker.h"
#include "kd_live_capture.h"
#include "replay_counters.h"
#include "replay_event_target.h"
#include "replay_tracker_bridge.h"

namespace kdreplay {

class LiveInterface {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kFirstRetry = std::chrono::seconds(1);
  static constexpr Clock::duration kLongestRetry = std::chrono::seconds(30);
  // How often the interface's state is asked for while it is captured.
  static constexpr Clock::duration kStateCheck = std::chrono::seconds(1);

  // tracker_config gives the configuration of a tracker for the interface index it has.
  LiveInterface(std::string name, kdLiveCaptureOptions options, size_t max_flows,
                std::function<kdFlowTrackerConfig(uint32_t index)> tracker_config);
  LiveInterface(const LiveInterface&) = delete;
  LiveInterface& operator=(const LiveInterface&) = delete;
  ~LiveInterface();

  // Opens the interface before the run, or, when it does not exist or is down, says so and
  // waits for it. False, with the reason in error and its kind in failure, when it cannot be
  // captured for another reason (no permission, a filter libpcap refuses).
  bool Open(std::string& error, kdLiveCapture::Failure& failure);
  // Starts the run: from now on events go to target. Every tracker of the interface counts its
  // windows from origin_us (wall time; 0: from its own start), so that a capture opened again
  // keeps to the plugin's windows.
  // Its captures are counted into counters.
  void Begin(EventTarget& target, Clock::time_point now, uint64_t origin_us,
             InterfaceCounters& counters);
  // Stores the counts of every capture of the interface so far in the counters given to Begin.
  void Publish() const;
  // Before Begin: reads the packets waiting and drops them uncounted. Returns how many.
  uint64_t Discard() { return capture_ ? capture_->Discard() : 0; }
  // A descriptor that turns readable when packets wait, or -1 while none is open.
  int Fd() const;
  // Reads what waits, follows the interface's state, and opens it again when that is due.
  void Serve(Clock::time_point now);
  // The end of the run: reads what is left, ends the tracker and reports the counts.
  void Finish();

  const std::string& name() const { return name_; }
  // Captured and up.
  bool Available() const { return capture_ != nullptr && up_ && !closing_; }
  // Since when it has not been Available.
  Clock::time_point unavailable_since() const { return unavailable_since_; }
  // Counts of every capture of the interface in this run.
  uint64_t packets() const;
  kdLiveCaptureCounters Counters() const;

 private:
  bool TryOpen(std::string& error, kdLiveCapture::Failure& failure);
  void StartTracker();
  // The capture failed or the interface went away: the capture is closed once the kernel has
  // handed over its last block.
  void Lose(const std::string& reason, Clock::time_point now);
  // Ends the tracker, closes the capture and schedules a new open.
  void Close(Clock::time_point now);
  void FollowState(Clock::time_point now);

  const std::string name_;
  const kdLiveCaptureOptions options_;
  const size_t max_flows_;
  const std::function<kdFlowTrackerConfig(uint32_t)> tracker_config_;
  EventTarget* target_ = nullptr;          // set by Begin
  uint64_t origin_us_ = 0;                 // set by Begin
  InterfaceCounters* counters_ = nullptr;  // set by Begin
  std::unique_ptr<kdLiveCapture> capture_;
  std::unique_ptr<TrackerBridge> bridge_;
  std::unique_ptr<kdFlowTracker> tracker_;
  bool up_ = false;
  bool closing_ = false;
  Clock::time_point close_at_;
  bool captured_before_ = false;  // "capturing again" from the second open on
  kdLiveCaptureCounters closed_;  // counts of the captures closed before
  Clock::duration retry_delay_ = kFirstRetry;
  Clock::time_point next_try_;
  Clock::time_point next_state_check_;
  Clock::time_point unavailable_since_;
};

}  // namespace kdreplay
