// The payload pass: the sample table becomes payloads, sent to every configured channel.
#include <ctime>
#include <string>
#include <unordered_map>
#include <utility>

#include "kpp_plugin.h"

namespace {

using nlohmann::json;

// A sample to place in the nested tree, and how many samples it stands for.
struct NestedLeaf {
  kppAggregator* sample;
  uint64_t samples;
};

// The nested leaves of a table. Where samples can meet on a path (the type's path leaves a key
// part out, or a reload changed the key settings since some were made), the samples on one path
// are merged into the first of them with its own merge, so that no traffic is lost and the other
// members are the first sample's. The table is the pass's own: its samples are not reported again.
std::vector<NestedLeaf> NestedLeaves(const kppSampleTable& table, const kppRecordType* type,
                                     const kppRecordSettings& settings) {
  std::vector<NestedLeaf> leaves;
  leaves.reserve(table.size());
  const bool may_meet = type == nullptr || type->paths_may_meet || !table.AllKeyedAs(settings);
  if (!may_meet) {
    for (const auto& record : table.records()) leaves.push_back({record.get(), 1});
    return leaves;
  }
  std::unordered_map<std::string, size_t> by_path;
  std::string identity;
  for (const auto& record : table.records()) {
    identity.clear();
    record->NestedPath(settings).AppendIdentity(identity);
    auto placed = by_path.emplace(identity, leaves.size());
    if (placed.second) {
      leaves.push_back({record.get(), 1});
    } else {
      NestedLeaf& leaf = leaves[placed.first->second];
      leaf.sample->MergeFrom(*record);
      ++leaf.samples;
    }
  }
  return leaves;
}

json Envelope(time_t start, time_t end, json stats) {
  json payload;
  payload["log_time_start"] = static_cast<int64_t>(start);
  payload["log_time_end"] = static_cast<int64_t>(end);
  payload["stats"] = std::move(stats);
  return payload;
}

}  // namespace

void kppPlugin::ProcessStatsPayload() {
  // The table is taken out whole under the lock and encoded without it, so that host threads
  // delivering flows never wait for a pass. Samples arriving meanwhile open the next window.
  kppSampleTable taken;
  {
    kdThread::Guard guard(*this);
    taken.swap(samples);
  }
  const size_t count = taken.size();
  if (count == 0) {
    log_time_start = time(nullptr);
    return;
  }
  const time_t log_time_end = time(nullptr);
  const kppRecordType* type = kppRecordTypeOf(aggregator.load());
  const uint32_t batch = batched_rows.load();
  // The flags in force now decide each row's form, whatever they were when a sample was made.
  const kppRecordSettings settings = GetRecordSettings();

  std::vector<json> payloads;
  uint64_t skipped = 0;
  if (type != nullptr && type->own_payload) {
    for (const auto& record : taken.records()) {
      json payload;
      record->Encode(payload, settings);
      payloads.push_back(std::move(payload));
    }
  } else if (settings.nested) {
    json stats;
    for (const NestedLeaf& leaf : NestedLeaves(taken, type, settings)) {
      if (!leaf.sample->Append(stats, settings)) skipped += leaf.samples;
    }
    if (!stats.is_null())
      payloads.push_back(Envelope(log_time_start, log_time_end, std::move(stats)));
  } else {
    // Rows go into an array sized for them up front.
    auto rows = [&count, batch] {
      json array = json::array();
      array.get_ref<json::array_t&>().reserve(batch != 0 && batch < count ? batch : count);
      return array;
    };
    json stats = rows();
    for (const auto& record : taken.records()) {
      record->Append(stats, settings);
      if (batch != 0 && stats.size() == batch) {
        payloads.push_back(Envelope(log_time_start, log_time_end, std::move(stats)));
        stats = rows();
      }
    }
    if (!stats.empty())
      payloads.push_back(Envelope(log_time_start, log_time_end, std::move(stats)));
  }
  taken.clear();

  if (skipped != 0)
    kd_printf("%s: %lu nested record(s) skipped: position out of range\n", tag.c_str(), skipped);
  for (json& payload : payloads) DispatchPayload(payload);
  kd_dprintf("%s: aggregated %lu flow stats record(s).\n", tag.c_str(), count);
  log_time_start = time(nullptr);
}

void kppPlugin::DispatchPayload(json& payload) {
  for (const auto& sink : channels) {
    for (const auto& channel : sink.second) {
      try {
        DispatchSinkPayload(sink.first, {channel.first}, payload,
                            channel.second.GetDispatchFlags());
      } catch (const std::exception& e) {
        kd_printf("%s: dispatch to %s/%s failed: %s\n", tag.c_str(), sink.first.c_str(),
                  channel.first.c_str(), e.what());
      } catch (...) {
        // The sink is the host's code and may throw anything; letting it through would end the
        // worker, and with it all reporting.
        kd_printf("%s: dispatch to %s/%s failed: unknown exception\n", tag.c_str(),
                  sink.first.c_str(), channel.first.c_str());
      }
    }
  }
}
