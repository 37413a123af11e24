// Runs flows through a plugin and returns what one payload pass reports for them.
#pragma once

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "plugin_fixture.h"

namespace testing_support {

// The "stats" of the single payload that flows, delivered in one snapshot, yield under conf (a
// sink channel is added to it); null when no payload or more than one came out.
inline json StatsFor(const json& conf, const std::vector<std::shared_ptr<kdFlow>>& flows) {
  PluginFixture fixture(ConfWithSink(conf));
  fixture.Deliver(flows);
  auto payloads = fixture.Payloads();
  EXPECT_EQ(payloads.size(), 1u);
  return payloads.size() == 1 ? payloads[0]["stats"] : json();
}

// A flow like MakeFlow() with other values set by change.
template <typename Change>
std::shared_ptr<kdFlow> FlowWith(Change change) {
  auto flow = MakeFlow();
  change(*flow);
  return flow;
}

}  // namespace testing_support
