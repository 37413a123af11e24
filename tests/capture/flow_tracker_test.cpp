#include "kd_flow_tracker.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "kd_protocol_table.h"
#include "packet_builder.h"
#include "recording_target.h"

namespace {

using namespace capture_testing;

constexpr uint64_t kSecond = 1000000;
constexpr uint64_t kStart = 1700000000 * kSecond;
constexpr uint32_t kFlowMap = kdPluginProcessor::EVENT_FLOW_MAP;
constexpr uint32_t kComplete = kdPluginProcessor::EVENT_FLOW_DPI_COMPLETE;
constexpr uint32_t kExpire = kdPluginProcessor::EVENT_FLOW_EXPIRE;

class FlowTrackerTest : public ::testing::Test {
 protected:
  FlowTrackerTest() { Reset(kdFlowTrackerConfig()); }

  void Reset(kdFlowTrackerConfig config) {
    config.iface->name = "cap0";
    config.iface->role = kdInterface::kRoleInternal;
    tracker_.reset();
    target_ = RecordingTarget();
    tracker_ = std::make_unique<kdFlowTracker>(std::move(config), target_);
  }

  // Feeds an Ethernet frame at the given second of capture time.
  void Feed(double seconds, const Bytes& frame) {
    tracker_->Packet(kd_link::kEthernet, kStart + static_cast<uint64_t>(seconds * kSecond),
                     frame.data(), static_cast<uint32_t>(frame.size()),
                     static_cast<uint32_t>(frame.size()));
  }

  static Bytes TcpFrame(const std::string& source, uint16_t sport, const std::string& dest,
                        uint16_t dport, uint8_t flags, const Bytes& payload = {}) {
    return Ethernet(kMacB, kMacA, 0x0800, Ipv4(source, dest, 6, Tcp(sport, dport, flags, payload)));
  }
  static Bytes UdpFrame(const std::string& source, uint16_t sport, const std::string& dest,
                        uint16_t dport, const Bytes& payload = Bytes(10, 0)) {
    return Ethernet(kMacB, kMacA, 0x0800, Ipv4(source, dest, 17, Udp(sport, dport, payload)));
  }

  // The one flow of the last snapshot.
  const kdFlow& OnlyFlow() {
    EXPECT_FALSE(target_.snapshots.empty());
    EXPECT_EQ(target_.snapshots.back().size(), 1u);
    return target_.snapshots.back().front();
  }

  RecordingTarget target_;
  std::unique_ptr<kdFlowTracker> tracker_;
};

TEST_F(FlowTrackerTest, OrientationOriginAndPerSideCounters) {
  // The remote, higher endpoint speaks first.
  Bytes reply =
      Ethernet(kMacA, kMacB, 0x0800,
               Ipv4("192.0.2.7", "10.0.0.1", 17, Udp(53, 40000, Bytes(50, 0))), {{0x8100, 12}});
  Bytes query =
      Ethernet(kMacB, kMacA, 0x0800,
               Ipv4("10.0.0.1", "192.0.2.7", 17, Udp(40000, 53, Bytes(20, 0))), {{0x8100, 12}});
  Feed(1.5, reply);
  Feed(2.25, query);
  Feed(3, query);
  tracker_->Finish();
  const kdFlow& f = OnlyFlow();
  EXPECT_EQ(f.addr_a.GetString(), "10.0.0.1");
  EXPECT_EQ(f.addr_a.GetPort(), 40000);
  EXPECT_EQ(f.addr_b.GetString(), "192.0.2.7");
  EXPECT_EQ(f.addr_b.GetPort(), 53);
  EXPECT_EQ(f.mac_a.GetString(), "02:00:00:00:00:0a");
  EXPECT_EQ(f.mac_b.GetString(), "02:00:00:00:00:0b");
  EXPECT_EQ(f.origin, 2);
  EXPECT_EQ(f.endpoint_map, 1);
  EXPECT_EQ(f.other_type, kdFlow::OTHER_REMOTE);
  EXPECT_EQ(f.packets_a, 2u);
  EXPECT_EQ(f.bytes_a, 2 * query.size());
  EXPECT_EQ(f.packets_b, 1u);
  EXPECT_EQ(f.bytes_b, reply.size());
  EXPECT_EQ(f.ip_version, 4);
  EXPECT_EQ(f.ip_protocol, 17);
  EXPECT_EQ(f.vlan_id, 12);
  EXPECT_EQ(f.detected_protocol_name, "DNS");
  EXPECT_EQ(f.first_seen_ms, kStart / 1000 + 1500);
  EXPECT_EQ(f.last_seen_ms, kStart / 1000 + 3000);
  ASSERT_EQ(f.digests.size(), 1u);
  EXPECT_EQ(f.digests.back(), f.flow_digest);
  ASSERT_TRUE(f.iface);
  EXPECT_EQ(f.iface->name, "cap0");
  EXPECT_TRUE(target_.keys_match);
}

TEST_F(FlowTrackerTest, EndpointMapAndOtherType) {
  struct Case {
    std::string source, destination;
    const uint8_t* destination_mac;
    uint8_t endpoint_map;
    uint8_t other_type;
  };
  std::vector<Case> cases = {
      {"192.0.2.1", "10.0.0.5", kMacA, 1, kdFlow::OTHER_REMOTE},
      {"192.168.1.2", "8.8.8.8", kMacA, 2, kdFlow::OTHER_REMOTE},
      {"192.0.2.1", "198.51.100.1", kMacA, 0, kdFlow::OTHER_REMOTE},
      {"192.168.1.2", "224.0.0.251", kMacA, 1, kdFlow::OTHER_MULTICAST},
      {"192.168.1.2", "255.255.255.255", kBroadcastMac, 1, kdFlow::OTHER_BROADCAST},
      {"192.168.1.2", "192.168.1.255", kBroadcastMac, 1, kdFlow::OTHER_BROADCAST},
      {"10.0.0.2", "10.0.0.1", kMacA, 1, kdFlow::OTHER_LOCAL},
  };
  for (const Case& c : cases) {
    Reset(kdFlowTrackerConfig());
    Feed(0, Ethernet(c.destination_mac, kMacB, 0x0800,
                     Ipv4(c.source, c.destination, 17, Udp(1000, 2000, Bytes(4, 0)))));
    tracker_->Finish();
    const kdFlow& f = OnlyFlow();
    EXPECT_EQ(f.endpoint_map, c.endpoint_map) << c.source << " " << c.destination;
    EXPECT_EQ(f.other_type, c.other_type) << c.source << " " << c.destination;
  }

  kdFlowTrackerConfig own;
  own.local_networks = kdLocalNetworks();
  ASSERT_TRUE(own.local_networks.Add("198.51.100.0/24"));
  Reset(std::move(own));
  Feed(0, UdpFrame("192.0.2.1", 1, "198.51.100.1", 2));
  Feed(0, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2));
  tracker_->Finish();
  ASSERT_EQ(target_.snapshots.back().size(), 2u);
  for (const kdFlow& f : target_.snapshots.back()) {
    EXPECT_EQ(f.endpoint_map, f.addr_a.GetString() == "10.0.0.1" ? 0 : 2);
  }
}

TEST_F(FlowTrackerTest, DetectionCompletesWithTheFirstPayload) {
  Feed(0, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x02));
  Feed(0.1, TcpFrame("192.0.2.7", 80, "10.0.0.1", 40000, 0x12));
  Feed(0.2, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x10));
  EXPECT_EQ(target_.CountEvents(kComplete), 0u);
  Feed(0.3, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x18,
                     Text("GET /a HTTP/1.1\r\nHost: www.Example.com\r\n\r\n")));
  ASSERT_EQ(target_.CountEvents(kComplete), 1u);
  const kdFlow& f = target_.flow_events.back().flow;
  EXPECT_TRUE(f.dpi_complete);
  EXPECT_EQ(f.packets_a + f.packets_b, 4u);  // the event sees the packet that completed it
  EXPECT_EQ(f.host_name, "www.example.com");
  EXPECT_EQ(f.detected_protocol_name, "HTTP");
  EXPECT_EQ(f.detected_application_name, "example");
  EXPECT_NE(f.detected_application, 0u);

  // Protocols without ports complete at once; DNS names come from the query.
  Feed(1, Ethernet(kMacB, kMacA, 0x0800, Ipv4("10.0.0.1", "192.0.2.9", 1, Icmp())));
  EXPECT_EQ(target_.CountEvents(kComplete), 2u);
  EXPECT_EQ(target_.flow_events.back().flow.detected_protocol_name, "ICMP");
  Bytes query = {0,   1,   1,   0, 0,   1,   0,   0, 0, 0, 0, 0, 3,
                 'n', 's', '1', 3, 'f', 'o', 'o', 0, 0, 1, 0, 1};
  Feed(2, UdpFrame("10.0.0.1", 5000, "192.0.2.53", 53, query));
  EXPECT_EQ(target_.CountEvents(kComplete), 3u);
  EXPECT_EQ(target_.flow_events.back().flow.host_name, "ns1.foo");
  EXPECT_EQ(target_.flow_events.back().flow.detected_application, 0u);
}

TEST_F(FlowTrackerTest, TlsRecognisedOnAnyPort) {
  Bytes hello = {0x16, 0x03, 0x01, 0x00, 0x05, 0x01, 0, 0, 1, 0};
  Feed(0, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 9999, 0x18, hello));
  ASSERT_EQ(target_.CountEvents(kComplete), 1u);
  EXPECT_EQ(target_.flow_events.back().flow.detected_protocol_name, "TLS");
  EXPECT_EQ(target_.flow_events.back().flow.detected_protocol, kd_protocol::kTls);
}

TEST_F(FlowTrackerTest, CompleteFlowsResetAndIncompleteFlowsAccumulate) {
  // Two SYNs per interval and no payload: incomplete, so the counters carry over. A UDP flow
  // with payload beside it: complete from its first packet, reset after each event.
  for (int interval = 0; interval < 3; ++interval) {
    Feed(interval * 15 + 1, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 443, 0x02));
    if (interval < 2) Feed(interval * 15 + 1, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2));
    Feed(interval * 15 + 2, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 443, 0x02));
    if (interval == 1) Feed(interval * 15 + 2, UdpFrame("10.0.0.2", 2, "10.0.0.1", 1));
  }
  tracker_->Finish();

  ASSERT_EQ(target_.snapshots.size(), 3u);  // at 15 s, at 30 s and at the end
  std::vector<uint32_t> tcp_packets, udp_packets;
  for (const auto& snapshot : target_.snapshots) {
    for (const kdFlow& f : snapshot) {
      (f.ip_protocol == 6 ? tcp_packets : udp_packets).push_back(f.packets_a + f.packets_b);
      if (f.ip_protocol == 6) {
        EXPECT_EQ(f.dpi_complete, &snapshot == &target_.snapshots.back());
      }
    }
  }
  EXPECT_EQ(tcp_packets, (std::vector<uint32_t>{2, 4, 6}));
  EXPECT_EQ(udp_packets, (std::vector<uint32_t>{1, 2, 0}));
  EXPECT_EQ(target_.CountedPackets(), 9u);
  EXPECT_EQ(tracker_->FlowCount(), 0u);
}

TEST_F(FlowTrackerTest, AWindowsEndCompletesEveryFlow) {
  // Updates every 25 s, windows of 60 s: events at 25, 50, 60 (the window's end), 75, 100, 120.
  kdFlowTrackerConfig config;
  config.update_interval_us = 25 * kSecond;
  config.window_us = 60 * kSecond;
  Reset(config);
  Feed(0, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2));                // starts the clock
  Feed(10, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 443, 0x02));  // a lone SYN
  Feed(55, UdpFrame("10.0.0.1", 5, "192.0.2.9", 6, Bytes()));     // UDP without payload
  Feed(61, UdpFrame("10.0.0.2", 2, "10.0.0.1", 1));
  ASSERT_EQ(target_.snapshots.size(), 3u);
  for (const kdFlow& f : target_.snapshots[1])
    EXPECT_EQ(f.dpi_complete, f.ip_protocol == 17 && f.packets_a + f.packets_b == 0)
        << f.ip_protocol;
  uint32_t reported = 0;
  for (const kdFlow& f : target_.snapshots[2]) {
    EXPECT_TRUE(f.dpi_complete);
    reported += f.packets_a + f.packets_b;
  }
  EXPECT_EQ(reported, 2u);  // the SYN and the empty datagram, in the window they came in
  EXPECT_EQ(target_.CountEvents(kComplete), 4u);  // and the two datagrams with payload

  // The SYN's flow is still classified by its first payload, in a later window.
  Feed(70, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 443, 0x18,
                    Text("GET / HTTP/1.1\r\nHost: www.example.com\r\n\r\n")));
  tracker_->Finish();
  EXPECT_EQ(target_.CountEvents(kComplete), 4u);
  bool seen = false;
  for (const kdFlow& f : target_.snapshots.back()) {
    if (f.ip_protocol != 6) continue;
    seen = true;
    EXPECT_EQ(f.host_name, "www.example.com");
    EXPECT_EQ(f.packets_a + f.packets_b, 1u);
  }
  EXPECT_TRUE(seen);
  EXPECT_EQ(target_.CountedPackets(), 5u);
}

TEST_F(FlowTrackerTest, TcpClosesAfterFinFromEachSideOrReset) {
  Feed(0, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x18, Text("x")));
  Feed(1, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x11));
  Feed(1.5, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x11));  // a retransmitted FIN
  EXPECT_EQ(target_.CountEvents(kExpire), 0u);
  Feed(2, TcpFrame("192.0.2.7", 80, "10.0.0.1", 40000, 0x11));
  ASSERT_EQ(target_.CountEvents(kExpire), 1u);
  EXPECT_TRUE(target_.flow_events.back().flow.closed);
  Feed(3, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x10));  // the last ACK still counts

  Feed(5, TcpFrame("10.0.0.1", 40001, "192.0.2.7", 80, 0x02));
  Feed(6, TcpFrame("192.0.2.7", 80, "10.0.0.1", 40001, 0x14));
  EXPECT_EQ(target_.CountEvents(kExpire), 2u);
  EXPECT_EQ(target_.CountEvents(kComplete), 2u);  // the reset flow completes as it closes

  Feed(15, TcpFrame("10.0.0.1", 40002, "192.0.2.7", 80, 0x02));  // runs the event at 15 s
  ASSERT_EQ(target_.snapshots.size(), 1u);
  ASSERT_EQ(target_.snapshots[0].size(), 2u);
  uint32_t packets = 0;
  for (const kdFlow& f : target_.snapshots[0]) {
    EXPECT_TRUE(f.closed);
    EXPECT_TRUE(f.dpi_complete);
    packets += f.packets_a + f.packets_b;
  }
  EXPECT_EQ(packets, 7u);
  EXPECT_EQ(tracker_->FlowCount(), 1u);  // closed flows left the map after the event

  // The same ports again: a new flow.
  Feed(16, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x02));
  tracker_->Finish();
  EXPECT_EQ(target_.snapshots.back().size(), 2u);
  EXPECT_EQ(target_.CountedPackets(), 9u);
}

TEST_F(FlowTrackerTest, IdleFlowsExpire) {
  Feed(0, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2));
  Feed(1, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x18, Text("x")));
  // Keep time moving with a third flow.
  for (int second = 10; second <= 320; second += 10) {
    Feed(second, Ethernet(kMacB, kMacA, 0x0800, Ipv4("10.9.9.9", "10.9.9.8", 1, Icmp())));
  }
  // Snapshots at 15, 30, ...: the UDP flow (idle since 0) closes at 30 s, the TCP flow (idle
  // since 1) at 315 s, and each is gone from the snapshot after.
  auto find = [&](size_t index, uint8_t protocol) -> const kdFlow* {
    for (const kdFlow& f : target_.snapshots[index])
      if (f.ip_protocol == protocol) return &f;
    return nullptr;
  };
  ASSERT_GE(target_.snapshots.size(), 21u);
  ASSERT_NE(find(0, 17), nullptr);
  EXPECT_FALSE(find(0, 17)->closed);
  ASSERT_NE(find(1, 17), nullptr);
  EXPECT_TRUE(find(1, 17)->closed);
  EXPECT_EQ(find(2, 17), nullptr);
  ASSERT_NE(find(19, 6), nullptr);  // 300 s: idle 299 s
  EXPECT_FALSE(find(19, 6)->closed);
  ASSERT_NE(find(20, 6), nullptr);  // 315 s
  EXPECT_TRUE(find(20, 6)->closed);
  EXPECT_EQ(target_.CountEvents(kExpire), 2u);
}

TEST_F(FlowTrackerTest, QuietStretchesAreSkipped) {
  Feed(0, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2));
  Feed(100000, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2));  // more than a day later
  // Events at 15 and 30 s (where the flow expires), then none until the second packet's.
  EXPECT_EQ(target_.snapshots.size(), 2u);
  tracker_->Finish();
  EXPECT_EQ(target_.snapshots.size(), 3u);
  EXPECT_EQ(target_.CountedPackets(), 2u);
  for (uint32_t e : target_.events) EXPECT_EQ(e, kFlowMap);
}

TEST_F(FlowTrackerTest, TimeNeverRunsBackwards) {
  Feed(100, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2));
  Feed(50, UdpFrame("10.0.0.2", 2, "10.0.0.1", 1));
  tracker_->Finish();
  const kdFlow& f = OnlyFlow();
  EXPECT_EQ(f.first_seen_ms, kStart / 1000 + 100000);
  EXPECT_EQ(f.last_seen_ms, kStart / 1000 + 100000);
  EXPECT_EQ(f.packets_a + f.packets_b, 2u);
}

TEST_F(FlowTrackerTest, FinishExpiresEveryFlow) {
  Feed(0, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x02));
  Feed(1, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2, {}));
  EXPECT_EQ(target_.CountEvents(kComplete), 0u);
  tracker_->Finish();
  EXPECT_EQ(target_.CountEvents(kComplete), 2u);
  EXPECT_EQ(target_.CountEvents(kExpire), 2u);
  // Each flow's completion comes before its expiry.
  EXPECT_EQ(target_.flow_events[0].event, kComplete);
  EXPECT_EQ(target_.flow_events[1].event, kExpire);
  ASSERT_EQ(target_.snapshots.size(), 1u);
  for (const kdFlow& f : target_.snapshots[0]) EXPECT_TRUE(f.closed && f.dpi_complete);
  EXPECT_EQ(tracker_->FlowCount(), 0u);
  EXPECT_EQ(target_.CountedPackets(), 2u);
}

// Feeds count one-packet UDP flows, to ports 1000 on, and finishes the capture.
void FeedUdpFlows(kdFlowTracker& tracker, uint16_t count) {
  for (uint16_t port = 1000; port < 1000 + count; ++port) {
    Bytes frame = Ethernet(kMacB, kMacA, 0x0800,
                           Ipv4("10.0.0.1", "10.0.0.2", 17, Udp(40000, port, Bytes(4, 0))));
    tracker.Packet(kd_link::kEthernet, kStart, frame.data(), static_cast<uint32_t>(frame.size()),
                   static_cast<uint32_t>(frame.size()));
  }
  tracker.Finish();
}

// The flow objects a target is handed are built per event; one the target keeps must stay as it
// was delivered while later events go on.
TEST(FlowTrackerObjects, AKeptFlowIsNeverReused) {
  struct KeepingTarget : kdCaptureEventTarget {
    void DeliverFlowMap(kdPluginProcessor::Event, kdFlowMap*) override {}
    void DeliverFlow(kdPluginProcessor::Event, std::shared_ptr<kdFlow>& flow) override {
      kept.push_back(flow);
      ports.push_back(flow->addr_b.GetPort());
    }
    void DeliverPacketStats(const std::string&, kdPacketStats*) override {}
    std::vector<std::shared_ptr<kdFlow>> kept;
    std::vector<uint16_t> ports;
  } target;
  kdFlowTracker tracker(kdFlowTrackerConfig(), target);
  FeedUdpFlows(tracker, 10);
  ASSERT_EQ(target.kept.size(), 20u);  // completion and expiry of each flow
  for (size_t i = 0; i < target.kept.size(); ++i) {
    EXPECT_EQ(target.kept[i]->addr_b.GetPort(), target.ports[i]) << i;
  }
}

// A flow-map event builds a bucket's flow objects when the bucket is acquired and lets them go on
// release, so that a flood never has all of them at once; the map still counts every flow.
TEST(FlowTrackerObjects, ASnapshotHoldsOneBucketOfFlowsAtATime) {
  struct BucketTarget : kdCaptureEventTarget {
    void DeliverFlowMap(kdPluginProcessor::Event, kdFlowMap* map) override {
      sizes.push_back(map->Size());
      for (size_t b = 0; b < map->GetBuckets(); ++b) {
        std::vector<std::weak_ptr<kdFlow>> held;
        for (const auto& entry : map->AcquireConst(b)) held.push_back(entry.second);
        map->Release(b);
        flows += held.size();
        for (const auto& flow : held) released_freed = released_freed && flow.expired();
        refilled = refilled && map->AcquireConst(b).size() == held.size();
        map->Release(b);
      }
    }
    void DeliverFlow(kdPluginProcessor::Event, std::shared_ptr<kdFlow>&) override {}
    void DeliverPacketStats(const std::string&, kdPacketStats*) override {}
    std::vector<size_t> sizes;
    size_t flows = 0;
    bool released_freed = true;
    bool refilled = true;
  } target;
  kdFlowTrackerConfig config;
  config.buckets = 4;
  kdFlowTracker tracker(std::move(config), target);
  FeedUdpFlows(tracker, 50);
  EXPECT_EQ(target.sizes, std::vector<size_t>{50});
  EXPECT_EQ(target.flows, 50u);
  EXPECT_TRUE(target.released_freed);
  EXPECT_TRUE(target.refilled);
}

TEST_F(FlowTrackerTest, FragmentsAndVlansMakeTheirOwnFlows) {
  Ipv4Options first, later;
  first.fragment = 0x2000;
  later.fragment = 2;
  Feed(0, Ethernet(kMacB, kMacA, 0x0800,
                   Ipv4("10.0.0.1", "192.0.2.7", 17, Udp(5000, 6000, Bytes(8, 0)), first)));
  Feed(0, Ethernet(kMacB, kMacA, 0x0800, Ipv4("10.0.0.1", "192.0.2.7", 17, Bytes(16, 0), later)));
  Feed(0, UdpFrame("10.0.0.1", 5000, "192.0.2.7", 6000));
  Bytes tagged =
      Ethernet(kMacB, kMacA, 0x0800,
               Ipv4("10.0.0.1", "192.0.2.7", 17, Udp(5000, 6000, Bytes(8, 0))), {{0x8100, 7}});
  Feed(0, tagged);
  tracker_->Finish();
  ASSERT_EQ(target_.snapshots.back().size(), 3u);
  std::map<std::string, uint32_t> packets;
  std::set<uint64_t> digests;
  for (const kdFlow& f : target_.snapshots.back()) {
    std::string key = std::to_string(f.vlan_id) + ":" + std::to_string(f.addr_a.GetPort()) + ":" +
                      std::to_string(f.addr_b.GetPort());
    packets[key] = f.packets_a + f.packets_b;
    digests.insert(f.flow_digest);
  }
  EXPECT_EQ(packets, (std::map<std::string, uint32_t>{
                         {"0:5000:6000", 2}, {"0:0:0", 1}, {"7:5000:6000", 1}}));
  EXPECT_EQ(digests.size(), 3u);
  // The later fragment's flow has no ports, so it completed at once.
  EXPECT_EQ(target_.flow_events[0].event, kComplete);
  EXPECT_EQ(target_.flow_events[1].event, kComplete);
  EXPECT_EQ(target_.flow_events[1].flow.addr_a.GetPort(), 0);
}

TEST_F(FlowTrackerTest, DigestsDependOnTheInterface) {
  Feed(0, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2));
  tracker_->Finish();
  uint64_t first = OnlyFlow().flow_digest;
  Feed(0, UdpFrame("10.0.0.2", 2, "10.0.0.1", 1));  // same flow, the other way round
  tracker_->Finish();
  EXPECT_EQ(OnlyFlow().flow_digest, first);
  tracker_.reset();
  target_ = RecordingTarget();
  kdFlowTrackerConfig renamed;
  renamed.iface->name = "cap1";
  tracker_ = std::make_unique<kdFlowTracker>(std::move(renamed), target_);
  Feed(0, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2));
  tracker_->Finish();
  EXPECT_NE(OnlyFlow().flow_digest, first);
}

TEST_F(FlowTrackerTest, FullTableDiscardsNewFlows) {
  kdFlowTrackerConfig small;
  small.max_flows = 2;
  Reset(std::move(small));
  Feed(0, UdpFrame("10.0.0.1", 1, "10.0.0.2", 2));
  Feed(0, UdpFrame("10.0.0.1", 1, "10.0.0.3", 2));
  Feed(0, UdpFrame("10.0.0.1", 1, "10.0.0.4", 2));
  Feed(0, UdpFrame("10.0.0.2", 2, "10.0.0.1", 1));
  tracker_->Finish();
  EXPECT_EQ(target_.snapshots.back().size(), 2u);
  kdPacketStats totals = tracker_->Totals();
  EXPECT_EQ(totals.flow_dropped, 1u);
  EXPECT_EQ(totals.discarded, 1u);
  EXPECT_EQ(target_.CountedPackets() + totals.discarded, totals.raw);
}

TEST_F(FlowTrackerTest, PacketStatistics) {
  Feed(0, TcpFrame("10.0.0.1", 40000, "192.0.2.7", 80, 0x02));
  Feed(1, TcpFrame("192.0.2.7", 80, "10.0.0.1", 40000, 0x14));
  Feed(2,
       Ethernet(kMacB, kMacA, 0x0800, Ipv4("10.0.0.1", "192.0.2.7", 17, Udp(1, 2)), {{0x8100, 3}}));
  Feed(3, Ethernet(kMacB, kMacA, 0x86DD, Ipv6("fe80::1", "ff02::1", 58, Icmp(135))));
  Bytes arp = Ethernet(kBroadcastMac, kMacA, 0x0806, Bytes(28, 0));
  Feed(4, arp);
  Bytes truncated = TcpFrame("10.0.0.1", 1, "10.0.0.2", 2, 0x02);
  truncated.resize(20);
  Feed(20, truncated);  // after the first statistics event
  tracker_->Finish();

  ASSERT_EQ(target_.stats.size(), 2u);
  EXPECT_EQ(target_.stats[0].iface, "cap0");
  const kdPacketStats& s = target_.stats[0].stats;
  EXPECT_EQ(s.raw, 5u);
  EXPECT_EQ(s.ethernet, 5u);
  EXPECT_EQ(s.vlan, 1u);
  EXPECT_EQ(s.ip, 4u);
  EXPECT_EQ(s.ip4, 3u);
  EXPECT_EQ(s.ip6, 1u);
  EXPECT_EQ(s.tcp, 2u);
  EXPECT_EQ(s.tcp_resets, 1u);
  EXPECT_EQ(s.udp, 1u);
  EXPECT_EQ(s.icmp, 1u);
  EXPECT_EQ(s.discarded, 1u);
  EXPECT_EQ(s.discarded_bytes, arp.size());
  EXPECT_EQ(s.largest_bytes, 14u + 40u + 8u);
  EXPECT_EQ(target_.stats[1].stats.raw, 1u);
  EXPECT_EQ(target_.stats[1].stats.discarded, 1u);
  EXPECT_EQ(target_.stats[1].stats.discarded_bytes, 20u);
  kdPacketStats totals = tracker_->Totals();
  EXPECT_EQ(totals.raw, 6u);
  EXPECT_EQ(totals.wire_bytes, s.wire_bytes + 20u);
}

// The property the plugin relies on: over every flow-map event, the complete flows carry every
// IP packet and byte exactly once, whatever mix of flows, closes, expiries and junk comes in.
TEST_F(FlowTrackerTest, ConservationOverRandomTraffic) {
  kdFlowTrackerConfig config;
  config.update_interval_us = 5 * kSecond;
  config.buckets = 16;
  Reset(std::move(config));
  std::mt19937 random(7);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  uint64_t ip_packets = 0, ip_bytes = 0, junk = 0;
  double now = 0;
  for (int i = 0; i < 6000; ++i) {
    now += pick(100) < 99 ? pick(50) / 1000.0 : pick(400);  // now and then a long pause
    std::string a = "10.0.0." + std::to_string(1 + pick(4));
    std::string b = "192.0.2." + std::to_string(1 + pick(6));
    uint16_t pa = static_cast<uint16_t>(40000 + pick(3)), pb = pick(2) ? 80 : 53;
    bool forward = pick(2) == 0;
    Bytes frame;
    switch (pick(8)) {
      case 0: {
        static const uint8_t kFlags[] = {0x02, 0x12, 0x10, 0x11, 0x04};
        uint8_t flags = kFlags[pick(5)];
        frame = forward ? TcpFrame(a, pa, b, pb, flags) : TcpFrame(b, pb, a, pa, flags);
        break;
      }
      case 1:
      case 2:
        frame = forward ? TcpFrame(a, pa, b, pb, 0x18, Bytes(1 + pick(50), 1))
                        : TcpFrame(b, pb, a, pa, 0x18, Bytes(1 + pick(50), 1));
        break;
      case 3:
      case 4:
        frame = forward ? UdpFrame(a, pa, b, pb, Bytes(pick(3), 1)) : UdpFrame(b, pb, a, pa);
        break;
      case 5: {
        Ipv4Options later;
        later.fragment = static_cast<uint16_t>(1 + pick(100));
        frame = Ethernet(kMacB, kMacA, 0x0800, Ipv4(a, b, 17, Bytes(24, 0), later));
        break;
      }
      case 6:
        frame = Ethernet(
            kMacB, kMacA, 0x86DD,
            Ipv6("2001:db8::" + std::to_string(1 + pick(3)), "2001:db8::ff", 58, Icmp(128)));
        break;
      default:
        frame = Ethernet(kBroadcastMac, kMacA, 0x0806, Bytes(28, 0));
        if (pick(2)) frame.resize(static_cast<size_t>(pick(40)));  // truncated junk
        break;
    }
    bool is_ip =
        frame.size() > 14 && ((frame[12] == 0x08 && frame[13] == 0x00) || frame[12] == 0x86);
    if (is_ip) {
      ++ip_packets;
      ip_bytes += frame.size();
    } else {
      ++junk;
    }
    Feed(now, frame);
  }
  tracker_->Finish();
  EXPECT_EQ(target_.CountedPackets(), ip_packets);
  EXPECT_EQ(target_.CountedBytes(), ip_bytes);
  EXPECT_GT(target_.snapshots.size(), 100u);
  EXPECT_TRUE(target_.keys_match);
  EXPECT_EQ(tracker_->FlowCount(), 0u);
  kdPacketStats delivered;
  for (const auto& s : target_.stats) delivered += s.stats;
  EXPECT_EQ(delivered.raw, ip_packets + junk);
  EXPECT_EQ(delivered.ip, ip_packets);
  EXPECT_EQ(delivered.discarded, junk);
  // Every flow that reached the map completed once and closed once.
  EXPECT_EQ(target_.CountEvents(kComplete), target_.CountEvents(kExpire));
}

}  // namespace
