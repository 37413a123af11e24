// Memory of a flood, per flow: N one-packet UDP flows from spoofed sources go through the host's
// flow tracker into the plugin, and the allocator's bytes in use are read at each stage.
//
//   tracker   the tracker's store, all N flows tracked, before the flow-map event
//   snapshot  what the tracker holds for that event (its flows in bucket order; the flow objects
//             of a bucket exist only while the plugin holds it)
//   sample    the plugin's samples after its flow pass (one per flow: every flow is a new key)
//   payload   a copy of the payload document the payload pass dispatched
//   flow_peak tracker + snapshot + sample: what the flow-map event holds at once
//
// Beside them, floors: the bytes of a flow's key and counters alone (the tracker's key and
// per-side counters; a sample's key text and three counters).
#include <malloc.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_cases.h"
#include "bench_plugin.h"
#include "floor_keys.h"
#include "json_channel.h"
#include "kd_capture_events.h"
#include "kd_flow_tracker.h"

namespace kppbench {

namespace {

size_t InUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Forwards the tracker's events to the plugin and reads memory around the flow-map event.
class MeasuringTarget : public kdCaptureEventTarget {
 public:
  MeasuringTarget(kppPlugin& plugin, uint32_t type) : plugin_(plugin), type_(type) {}

  void DeliverFlowMap(kdPluginProcessor::Event event, kdFlowMap* map) override {
    at_event = InUse();
    std::string key;
    for (size_t b = 0; b < map->GetBuckets(); ++b) {
      for (const auto& entry : map->AcquireConst(b)) {
        if (FloorKey(type_, false, *entry.second, key)) key_bytes += key.size();
      }
      map->Release(b);
    }
    plugin_.DispatchProcessorEvent(event, map);
    after_pass = InUse();
  }
  void DeliverFlow(kdPluginProcessor::Event event, std::shared_ptr<kdFlow>& flow) override {
    plugin_.DispatchProcessorEvent(event, flow);
  }
  void DeliverPacketStats(const std::string& iface, kdPacketStats* stats) override {
    plugin_.DispatchProcessorEvent(kdPluginProcessor::EVENT_PKT_GLOBAL_STATS, iface, stats);
  }

  size_t at_event = 0;
  size_t after_pass = 0;
  size_t key_bytes = 0;

 private:
  kppPlugin& plugin_;
  uint32_t type_;
};

void Put16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v >> 8);
  at[1] = static_cast<uint8_t>(v);
}

// Feeds `flows` one-packet UDP flows, a millisecond apart, from random remote sources to 2000
// local hosts.
void FeedFlood(kdFlowTracker& tracker, size_t flows, uint64_t seed) {
  uint8_t frame[14 + 20 + 8 + 4] = {};
  const uint8_t header[] = {0x02, 0,    0,    0, 0, 1,  0x02, 0xfe, 0, 0, 0,  1,
                            0x08, 0x00, 0x45, 0, 0, 32, 0,    0,    0, 0, 64, 17};
  std::memcpy(frame, header, sizeof(header));
  Put16(frame + 38, 12);
  for (size_t i = 0; i < flows; ++i) {
    const uint64_t r = Mix(seed + i);
    const uint32_t source =
        static_cast<uint32_t>((11 + (r % 116)) << 24) | static_cast<uint32_t>((r >> 8) & 0xFFFFFF);
    const uint32_t local = static_cast<uint32_t>((r >> 32) % 2000);
    frame[26] = static_cast<uint8_t>(source >> 24);
    frame[27] = static_cast<uint8_t>(source >> 16);
    frame[28] = static_cast<uint8_t>(source >> 8);
    frame[29] = static_cast<uint8_t>(source);
    frame[30] = 10;
    frame[31] = 1;
    Put16(frame + 32, static_cast<uint16_t>(local + 1));
    Put16(frame + 34, static_cast<uint16_t>(1024 + (r >> 40) % 64000));
    Put16(frame + 36, static_cast<uint16_t>(1024 + (r >> 20) % 64000));
    tracker.Packet(kd_link::kEthernet, 1700000000000000ull + i * 1000, frame, sizeof(frame),
                   sizeof(frame));
  }
}

void FloodMemory(benchmark::State& state, const BenchOptions& options, uint32_t type) {
  const size_t flows = options.flood_flows;
  BenchPlugin bench(BenchConf(type, false));
  JsonChannel channel(true);
  for (auto _ : state) {
    const size_t base = InUse();
    MeasuringTarget target(bench.plugin(), type);
    kdFlowTrackerConfig config;
    config.iface->name = "flood0";
    config.update_interval_us = 86400ull * 1000000;
    config.max_flows = flows;
    kdFlowTracker tracker(std::move(config), target);
    FeedFlood(tracker, flows, options.seed);
    const size_t tracked = InUse();
    tracker.Finish();
    const size_t samples = bench.plugin().GetSampleCount();
    const size_t before_payload = InUse();
    bench.plugin().ProcessStatsPayload();
    const size_t after_payload = InUse();

    const double n = static_cast<double>(flows);
    const double tracker_bytes = static_cast<double>(tracked - base) / n;
    const double snapshot_bytes = static_cast<double>(target.at_event - tracked) / n;
    const double sample_bytes = static_cast<double>(target.after_pass - target.at_event) / n;
    state.counters["samples"] = static_cast<double>(samples);
    state.counters["tracker_bytes"] = tracker_bytes;
    state.counters["tracker_floor_bytes"] = kdTrackedFlow::kKeySize + 2 * 8 + 2 * 4;
    state.counters["snapshot_bytes"] = snapshot_bytes;
    state.counters["sample_bytes"] = sample_bytes;
    state.counters["sample_floor_bytes"] =
        static_cast<double>(target.key_bytes) / n + sizeof(FloorCounters);
    // The payload pass empties the sample table; the kept copy of the document remains.
    state.counters["payload_bytes"] = static_cast<double>(after_payload) / n -
                                      (static_cast<double>(before_payload) / n - sample_bytes);
    state.counters["flow_peak_bytes"] = tracker_bytes + snapshot_bytes + sample_bytes;
  }
}

}  // namespace

void RegisterFloodMemory(const BenchOptions& options) {
  if (options.flood_flows == 0) return;
  for (uint32_t type : options.flood_types) {
    const std::string name =
        "memory/flood/t" + std::to_string(type) + "/n" + std::to_string(options.flood_flows);
    benchmark::RegisterBenchmark(name.c_str(), FloodMemory, options, type)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
  }
}

}  // namespace kppbench
