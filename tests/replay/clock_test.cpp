// The capture clock seen from threads that keep time through the C++ library (clock_plugin.cpp).
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "replay_harness.h"

namespace {

using replay_testing::ReplayHarness;
using replay_testing::ReplayResult;

// The capture's first packet, and the second after its last one, where the replay leaves the
// clock (the same as the summary's range in README.md).
constexpr long long kCaptureStart = 1553160644;  // 2019-03-21 09:30:44 UTC
constexpr long long kCaptureEnd = 1553162597;    // 2019-03-21 10:03:17 UTC

struct Seen {
  long long first = -1;
  long long last = -1;
};

Seen SeenBy(const std::string& err, const std::string& thread) {
  Seen seen;
  const std::string prefix = "clock: " + thread + " saw ";
  size_t at = err.find(prefix);
  if (at != std::string::npos)
    sscanf(err.c_str() + at + prefix.size(), "%lld to %lld", &seen.first, &seen.last);
  return seen;
}

TEST(CaptureClock, ThreadsStartedByThePluginFollowTheCaptureSecondBySecond) {
  ReplayHarness h;
  ReplayResult result =
      h.RunWith({"--plugin", KORVIA_CLOCK_PLUGIN_PATH, "--tag", "clock", "--conf", h.conf_path(),
                 "--pcap", std::string(KORVIA_EXAMPLES_DIR) + "/capture/dhcp-rfc4388.pcap"});
  ASSERT_EQ(result.status, 0) << result.err;
  // Every second of the capture, none skipped: the replay waited for both threads each time.
  for (const char* thread : {"worker", "ticker"}) {
    Seen seen = SeenBy(result.err, thread);
    EXPECT_EQ(seen.first, kCaptureStart) << thread << "\n" << result.err;
    EXPECT_EQ(seen.last, kCaptureEnd) << thread << "\n" << result.err;
  }
}

TEST(CaptureClock, EventScriptsLeaveTheSystemClock) {
  ReplayHarness h;
  h.SetScript({{{"event", "status"}}});
  const long long before = static_cast<long long>(time(nullptr));
  ReplayResult result = h.Run({"--tag", "clock"}, KORVIA_CLOCK_PLUGIN_PATH);
  ASSERT_EQ(result.status, 0) << result.err;
  for (const char* thread : {"worker", "ticker"}) {
    EXPECT_GE(SeenBy(result.err, thread).last, before) << thread << "\n" << result.err;
  }
}

}  // namespace
