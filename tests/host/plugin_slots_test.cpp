// The order of the plugin base's virtuals is the binary interface a plugin is built against: a
// plugin calls them by vtable position, so a reordering would make the daemon call the wrong one.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "korviad/korviad.h"

namespace {

// A pointer to a virtual member function holds 1 + the byte offset of its vtable slot in its
// first word (Itanium C++ ABI).
template <typename Member>
std::ptrdiff_t SlotOf(Member member) {
  static_assert(sizeof(Member) == 2 * sizeof(std::ptrdiff_t), "Itanium member pointer");
  std::ptrdiff_t words[2];
  std::memcpy(words, &member, sizeof(words));
  EXPECT_EQ(words[0] % static_cast<std::ptrdiff_t>(sizeof(void*)), 1) << "not a virtual";
  return words[0] - 1;
}

using Processor = kdPluginProcessor;
using Event = kdPluginProcessor::Event;

TEST(PluginSlots, VirtualsFollowTheDaemonsOrder) {
  const std::ptrdiff_t slots[] = {
      SlotOf(static_cast<void* (kdThread::*)()>(&kdThread::Entry)),
      SlotOf(&kdPlugin::GetLibrary),
      SlotOf(&kdPlugin::GetName),
      SlotOf(&kdPlugin::GetVersion),
      SlotOf(&kdPlugin::GetStatus),
      SlotOf(&kdPlugin::DisplayStatus),
      SlotOf(&kdPlugin::DispatchEvent),
      SlotOf(
          static_cast<void (Processor::*)(Event, kdFlowMap*)>(&Processor::DispatchProcessorEvent)),
      SlotOf(static_cast<void (Processor::*)(Event, std::shared_ptr<kdFlow>&)>(
          &Processor::DispatchProcessorEvent)),
      SlotOf(static_cast<void (Processor::*)(Event, const std::string&, kdPacketStats*)>(
          &Processor::DispatchProcessorEvent)),
  };
  for (size_t i = 1; i < sizeof(slots) / sizeof(slots[0]); ++i)
    EXPECT_LT(slots[i - 1], slots[i]) << "virtual " << i << " comes too early";
}

}  // namespace
