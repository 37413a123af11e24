// The host's flow record and flow map.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "korviad/kd_addr.h"
#include "korviad/kd_export.h"

// A capture interface, shared by every flow seen on it.
struct KD_EXPORT kdInterface {
  // Roles.
  static constexpr uint8_t kRoleInternal = 1;
  static constexpr uint8_t kRoleExternal = 2;
  // No interface index.
  static constexpr uint32_t kNoIndex = 0xFFFFFFFF;

  std::string name;
  uint32_t index = kNoIndex;
  uint32_t capture_type = 0;
  uint8_t role = 0;
};

// One bidirectional flow between endpoint A and endpoint B.
class KD_EXPORT kdFlow {
 public:
  // Codes of other_type: the kind of the non-local endpoint's address.
  enum OtherType : uint8_t {
    OTHER_UNKNOWN = 0,
    OTHER_UNSUPPORTED = 1,
    OTHER_LOCAL = 2,
    OTHER_MULTICAST = 3,
    OTHER_BROADCAST = 4,
    OTHER_REMOTE = 5,
    OTHER_ERROR = 6,
  };

  kdFlow();
  kdFlow(const kdFlow&);
  kdFlow& operator=(const kdFlow&);
  virtual ~kdFlow();

  std::shared_ptr<kdInterface> iface;
  uint8_t endpoint_map = 0;  // 1: A is local, 2: B is local, 0: unknown
  uint8_t origin = 0;        // 1: A sent the first packet, 2: B did, 0: unknown
  bool dpi_complete = false;
  uint8_t other_type = OTHER_UNKNOWN;
  uint8_t ip_version = 0;
  uint8_t ip_protocol = 0;
  uint16_t vlan_id = 0;

  kdAddr mac_a, mac_b;
  kdAddr addr_a, addr_b;  // with ports
  kdAddr nat_addr;        // translated source; family 0 when not translated

  uint64_t bytes_a = 0, bytes_b = 0;      // sent by A, by B
  uint32_t packets_a = 0, packets_b = 0;  // sent by A, by B

  std::vector<uint64_t> digests;  // the last entry is the current one
  uint64_t flow_digest = 0;
  uint32_t flow_ifindex = kdInterface::kNoIndex;
  uint64_t first_seen_ms = 0, last_seen_ms = 0;
  bool closed = false;

  uint32_t detected_protocol = 0;
  std::string detected_protocol_name;
  uint32_t detected_application = 0;
  std::string detected_application_name;
  uint32_t application_category = 0;
  uint32_t protocol_category = 0;
  std::set<std::string> tags;
  std::string host_name;
  std::string preferred_host_name;
};

// The flow map: a fixed number of buckets, each a mutex-guarded map from 64-bit key to flow.
// Buckets keep their flows in ascending key order.
class KD_EXPORT kdFlowMap {
 public:
  using Bucket = std::map<uint64_t, std::shared_ptr<kdFlow>>;

  // Builds a bucket's flows when it is acquired, so that a snapshot of many flows holds the flow
  // objects of one bucket at a time rather than all of them.
  class KD_EXPORT Source {
   public:
    virtual ~Source();
    // Puts the flows of bucket b into bucket, which is empty.
    virtual void Fill(size_t b, Bucket& bucket) const = 0;
    // The number of flows Fill(b) puts in.
    virtual size_t Count(size_t b) const = 0;
  };

  explicit kdFlowMap(size_t buckets);
  kdFlowMap(const kdFlowMap&) = delete;
  kdFlowMap& operator=(const kdFlowMap&) = delete;
  virtual ~kdFlowMap();

  size_t GetBuckets() const { return buckets_.size(); }

  // Locks bucket b and returns it read-only; every AcquireConst is paired with Release(b).
  const Bucket& AcquireConst(size_t b) const;
  // Locks bucket b for the host to change it.
  Bucket& Acquire(size_t b);
  void Release(size_t b) const;

  // With a source, a bucket holds the source's flows exactly while it is acquired: acquiring
  // fills it and releasing empties it. Without one (null, the default) buckets hold what the
  // host puts in them. The source must outlive its use; set it while no bucket is acquired.
  void SetSource(const Source* source) { source_ = source; }

  // Number of flows over all buckets (locks each bucket in turn).
  size_t Size() const;

 private:
  // Mutable: with a source, even a read-only acquisition fills the bucket.
  mutable std::vector<Bucket> buckets_;
  std::unique_ptr<std::mutex[]> locks_;
  const Source* source_ = nullptr;
};
