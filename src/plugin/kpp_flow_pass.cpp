// The flow sampling pass: one flow-map snapshot becomes samples.
#include <cstring>
#include <map>
#include <memory>

#include "kpp_plugin.h"

namespace {

// Holds one flow-map bucket from AcquireConst to Release.
class BucketGuard {
 public:
  BucketGuard(const kdFlowMap& map, size_t bucket)
      : map_(map), bucket_(bucket), flows_(map.AcquireConst(bucket)) {}
  BucketGuard(const BucketGuard&) = delete;
  BucketGuard& operator=(const BucketGuard&) = delete;
  ~BucketGuard() { map_.Release(bucket_); }
  const kdFlowMap::Bucket& flows() const { return flows_; }

 private:
  const kdFlowMap& map_;
  size_t bucket_;
  const kdFlowMap::Bucket& flows_;
};

struct PassCounters {
  uint64_t total = 0;
  uint64_t processed = 0;
  uint64_t added = 0;
  uint64_t aggregated = 0;
  uint64_t criteria = 0;
  uint64_t dpi_incomplete = 0;
  uint64_t no_packets = 0;
  uint64_t unknown_map = 0;
};

// Every expression holds, asked of the parser in list order up to the first that does not.
bool Selected(kdFlowParser& parser, const std::vector<std::string>& criteria, const kdFlow& flow) {
  for (const std::string& expression : criteria) {
    std::map<std::string, nlohmann::json> parameters;
    if (!parser.Parse(&flow, parameters, expression)) return false;
  }
  return true;
}

}  // namespace

void kppPlugin::ProcessFlows(const kdFlowMap* flow_map) {
  const size_t buckets = flow_map->GetBuckets();
  if (buckets == 0) return;

  // One consistent list and parser for the whole pass, as the reload that installed them left
  // them; the pass's reference keeps the parser alive if a reload replaces it meanwhile.
  std::vector<std::string> pass_criteria;
  std::shared_ptr<kdFlowParser> pass_parser;
  {
    kdThread::Guard guard(*this);
    pass_criteria = criteria;
    pass_parser = flow_parser;
  }

  PassCounters count;
  // Every flow's key is built here, so that a flow that merges allocates nothing.
  std::string key;
  for (size_t b = 0; b < buckets; ++b) {
    BucketGuard bucket(*flow_map, b);
    count.total += bucket.flows().size();
    for (const auto& entry : bucket.flows()) {
      const std::shared_ptr<kdFlow>& flow = entry.second;
      if (!flow) continue;
      if (pass_parser && !Selected(*pass_parser, pass_criteria, *flow)) {
        ++count.criteria;
        continue;
      }
      if (!flow->dpi_complete) {
        ++count.dpi_incomplete;
        continue;
      }
      if (static_cast<uint32_t>(flow->packets_a + flow->packets_b) == 0) {
        ++count.no_packets;
        continue;
      }
      const kppRecordType* type = kppRecordTypeOf(aggregator.load());
      if (flow->endpoint_map == 0) {
        ++count.unknown_map;
        if (type != nullptr && type->needs_local_endpoint) continue;
      }
      if (type == nullptr || type->from_flow == nullptr) continue;
      type->key_from_flow(*flow, GetRecordSettings(), key);
      switch (InsertOrMergeFlow(*type, key, flow)) {
        case InsertResult::kNew:
          ++count.added;
          break;
        case InsertResult::kMerged:
          ++count.aggregated;
          break;
        case InsertResult::kDropped:
          break;
      }
      ++count.processed;
    }
  }

  if (count.processed == 0) return;
  WakeWorker();
  kd_dprintf(
      "%s: flows: %lu/%lu, new: %lu, aggregated: %lu, filtered: criteria: %lu, DPI complete: "
      "%lu, no packets: %lu, unknown map: %lu\n",
      tag.c_str(), count.processed, count.total, count.added, count.aggregated, count.criteria,
      count.dpi_incomplete, count.no_packets, count.unknown_map);
}
