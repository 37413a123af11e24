// The payload pass: the sample table becomes payloads, sent to every configured channel.
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "kpp_nested_order.h"
#include "kpp_plugin.h"

namespace {

using nlohmann::json;

// Places every sample of records into the nested tree stats and returns how many were left out (a
// position out of range).
//
// Samples are placed in the tree's own order, so that each level is added at the end of its
// object and the tree lies in memory in the order it is written and freed; the samples are freed
// only afterwards, so that their blocks do not scatter the tree. That order also brings together
// the samples that meet on a path (the type's path leaves a key part out, or a reload changed the
// key settings since some were made): they are merged into the first of them in table order with
// its own merge, so that no traffic is lost and the other members are the first's.
uint64_t PlaceNested(kppSampleTable::Records& records, const kppRecordSettings& settings,
                     json& stats) {
  const kppNestedOrder places(records, settings);
  const std::vector<uint32_t>& order = places.order();
  uint64_t skipped = 0;
  for (size_t at = 0; at < order.size();) {
    const uint32_t first = order[at++];
    kppAggregator& sample = *records[first];
    uint64_t on_path = 1;
    for (; at < order.size() && places.SamePlace(order[at], first); ++at, ++on_path)
      sample.MergeFrom(*records[order[at]]);
    const kppNestedPath path = sample.NestedPath(settings);
    if (path.InRange()) {
      json& leaf = path.Walk(stats);
      leaf = nullptr;
      sample.Encode(leaf, settings);
    } else {
      skipped += on_path;
    }
  }
  records.clear();
  return skipped;
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
  kppSampleTable::Records records = taken.TakeRecords();
  size_t sent = 0;
  try {
    SendPayloads(records, log_time_end, sent);
  } catch (...) {
    // The window is closed all the same: what was sent of it must not be reported again by the
    // next pass's envelopes, and what was not is gone with the table.
    log_time_start = time(nullptr);
    kd_printf("%s: payload pass failed: %lu of %lu sample(s) dropped\n", tag.c_str(), count - sent,
              count);
    throw;
  }
  kd_dprintf("%s: aggregated %lu flow stats record(s).\n", tag.c_str(), count);
  log_time_start = time(nullptr);
}

void kppPlugin::SendPayloads(kppSampleTable::Records& records, time_t log_time_end, size_t& sent) {
  const size_t count = records.size();
  const kppRecordType* type = kppRecordTypeOf(aggregator.load());
  const uint32_t batch = batched_rows.load();
  // The flags in force now decide each row's form, whatever they were when a sample was made.
  const kppRecordSettings settings = GetRecordSettings();

  // Each payload is dispatched as soon as it is complete, and a flat or own-payload sample is
  // freed as soon as its row is made: with batched rows a pass holds one batch at a time.
  if (type != nullptr && type->own_payload) {
    for (auto& record : records) {
      json payload;
      record->Encode(payload, settings);
      record.reset();
      DispatchPayload(payload);
      ++sent;
    }
  } else if (settings.nested) {
    json stats;
    const uint64_t skipped = PlaceNested(records, settings, stats);
    if (skipped != 0)
      kd_printf("%s: %lu nested record(s) skipped: position out of range\n", tag.c_str(), skipped);
    if (!stats.is_null()) {
      json payload = Envelope(log_time_start, log_time_end, std::move(stats));
      DispatchPayload(payload);
    }
    sent = count;
  } else {
    // Rows go into an array sized for them up front.
    auto rows = [&count, batch] {
      json array = json::array();
      array.get_ref<json::array_t&>().reserve(batch != 0 && batch < count ? batch : count);
      return array;
    };
    json stats = rows();
    for (auto& record : records) {
      record->Append(stats, settings);
      record.reset();
      if (batch != 0 && stats.size() == batch) {
        json payload = Envelope(log_time_start, log_time_end, std::move(stats));
        DispatchPayload(payload);
        sent += batch;
        stats = rows();
      }
    }
    if (!stats.empty()) {
      json payload = Envelope(log_time_start, log_time_end, std::move(stats));
      DispatchPayload(payload);
    }
    sent = count;
  }
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
