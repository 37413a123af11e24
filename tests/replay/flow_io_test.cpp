// The flow-protocol input and output of korvia-replay: collected records reaching the plugin's
// flow map, the exporter's flow cache and timeouts, and their options.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "capture/packet_builder.h"
#include "capture/recording_target.h"
#include "flow_protocols/flow_messages.h"
#include "kd_flow_collector.h"
#include "kd_flow_encoder.h"
#include "replay_event_target.h"
#include "replay_flow_exporter.h"
#include "replay_flow_listener.h"
#include "replay_options.h"

namespace {

using capture_testing::RecordingTarget;
using kdreplay::FlowEndpoint;

// The listener's events, kept as a tracker's are.
class Recorder : public kdreplay::EventTarget {
 public:
  void DeliverFlowMap(const std::string&, kdFlowMap& map, uint32_t value) override {
    target.DeliverFlowMap(static_cast<kdPluginProcessor::Event>(value), &map);
  }
  void DeliverFlow(const std::string&, std::shared_ptr<kdFlow> flow, uint32_t value) override {
    target.DeliverFlow(static_cast<kdPluginProcessor::Event>(value), flow);
  }
  void DeliverStats(const std::string&, const std::string& iface, kdPacketStats& stats) override {
    target.DeliverPacketStats(iface, &stats);
  }
  void Reload(const std::string&) override {}
  void SetLinkAddress(uint32_t, const kdAddr*) override {}
  void WriteStatus(const std::string&) override {}

  RecordingTarget target;
};

constexpr uint64_t kStart = 1'700'000'000'000'000;
const kdFlowExporter kRouter = kdFlowExporter::Ipv4(0xC0000201);  // 192.0.2.1

void SetAddress(uint8_t* to, const char* text) {
  ASSERT_EQ(inet_pton(AF_INET, text, to), 1) << text;
}

kdFlowRecord Uniflow(const char* src, uint16_t sport, const char* dst, uint16_t dport,
                     uint64_t packets, uint64_t octets, uint32_t ingress) {
  kdFlowRecord r;
  r.ip_version = 4;
  SetAddress(r.src_addr, src);
  SetAddress(r.dst_addr, dst);
  r.src_port = sport;
  r.dst_port = dport;
  r.protocol = 6;
  r.packets = packets;
  r.octets = octets;
  r.ingress_if = ingress;
  r.first_ms = kStart / 1000;
  r.last_ms = kStart / 1000 + 10;
  return r;
}

// A listener on an ephemeral loopback port, fed datagrams directly.
struct Listening {
  explicit Listening(FlowEndpoint::Scheme scheme = FlowEndpoint::Scheme::kNetflow) {
    FlowEndpoint endpoint;
    std::string error;
    const bool sflow = scheme == FlowEndpoint::Scheme::kSflow;
    EXPECT_TRUE(kdreplay::ParseFlowEndpoint(sflow ? "sflow://127.0.0.1:1" : "netflow://127.0.0.1:1",
                                            true, endpoint, error));
    // Port 0, which the command line refuses, finds a free port.
    reinterpret_cast<sockaddr_in*>(&endpoint.address)->sin_port = 0;
    kdreplay::FlowListenOptions options;
    options.endpoints.push_back(endpoint);
    options.buffer_mib = 1;
    listener = std::make_unique<kdreplay::FlowListener>(options);
    EXPECT_TRUE(listener->Open(error)) << error;
    kdFlowTrackerConfig config;
    config.update_interval_us = 1'000'000;
    listener->CountInto(counters);
    listener->Start(config, kStart, recorder);
  }
  void Feed(const std::vector<kdDatagram>& datagrams, uint64_t at_us = kStart + 1000) {
    for (const kdDatagram& d : datagrams) listener->Datagram(0, kRouter, d.data(), d.size(), at_us);
  }
  // The complete flows of every snapshot, after the listener finished.
  std::vector<kdFlow> Flows() {
    listener->Finish();
    std::vector<kdFlow> flows;
    for (const auto& snapshot : recorder.target.snapshots)
      for (const kdFlow& f : snapshot)
        if (f.dpi_complete && f.packets_a + f.packets_b > 0) flows.push_back(f);
    return flows;
  }
  Recorder recorder;
  kdreplay::RunCounters counters;  // what --metrics serves
  std::unique_ptr<kdreplay::FlowListener> listener;
};

TEST(FlowListener, UniflowsMeetTheirReverseOnTheExportersInterface) {
  Listening l;
  kdNetflow5Encoder v5(0, 0, kStart / 1000 - 60000);
  l.Feed(v5.Encode({Uniflow("10.0.0.5", 40000, "198.51.100.7", 80, 5, 500, 7),
                    Uniflow("198.51.100.7", 80, "10.0.0.5", 40000, 4, 4000, 7),
                    Uniflow("10.0.0.6", 40001, "198.51.100.7", 443, 1, 60, 8)},
                   kStart / 1000));
  std::vector<kdFlow> flows = l.Flows();
  ASSERT_EQ(flows.size(), 2u);
  std::map<std::string, kdFlow> by_iface;
  for (const kdFlow& f : flows) by_iface[f.iface->name] = f;
  ASSERT_EQ(by_iface.count("192.0.2.1/if7"), 1u);
  const kdFlow& web = by_iface["192.0.2.1/if7"];
  EXPECT_EQ(web.iface->index, 7u);
  EXPECT_EQ(web.iface->capture_type, kdreplay::kCaptureTypeCollector);
  EXPECT_EQ(web.flow_ifindex, 7u);
  EXPECT_EQ(web.packets_a + web.packets_b, 9u);
  EXPECT_EQ(web.bytes_a + web.bytes_b, 4500u);
  // The local side is 10.0.0.5, whichever record came first, and the port names the protocol.
  EXPECT_NE(web.endpoint_map, 0);
  const kdAddr& local = web.endpoint_map == 1 ? web.addr_a : web.addr_b;
  EXPECT_EQ(local.GetString(), "10.0.0.5");
  EXPECT_EQ(web.other_type, kdFlow::OTHER_REMOTE);
  EXPECT_FALSE(web.detected_protocol_name.empty());
  EXPECT_EQ(web.origin, web.endpoint_map);  // the first record's source began the flow
  ASSERT_EQ(by_iface.count("192.0.2.1/if8"), 1u);
  const kdFlow& oneway = by_iface["192.0.2.1/if8"];
  EXPECT_EQ(oneway.packets_a + oneway.packets_b, 1u);
  EXPECT_TRUE(oneway.packets_a == 0 || oneway.packets_b == 0);
  // The exporter's counters, as the metrics endpoint serves them.
  const kdreplay::ExporterCounters& router = l.counters.Exporter("192.0.2.1");
  EXPECT_EQ(router.datagrams.load(), 1u);
  EXPECT_EQ(router.records.load(), 3u);
  EXPECT_EQ(router.decode_errors.load(), 0u);
}

TEST(FlowListener, BiflowsAndSamplingRates) {
  Listening l;
  kdFlowEncoderOptions options;
  options.biflow = true;
  kdTemplateFlowEncoder ipfix(kdTemplateFlowEncoder::Dialect::kIpfix, options, 0);
  kdFlowRecord both = Uniflow("10.0.0.5", 40000, "198.51.100.7", 53, 2, 150, 3);
  both.protocol = 17;
  both.biflow = true;
  both.reverse_packets = 2;
  both.reverse_octets = 400;
  l.Feed(ipfix.Encode({both}, kStart / 1000));
  // v5 with a sampling interval of 100 in its header: counters scaled by it.
  kdNetflow5Encoder v5(0, 0, kStart / 1000 - 60000);
  std::vector<kdDatagram> sampled =
      v5.Encode({Uniflow("10.0.0.9", 1, "203.0.113.1", 2, 3, 300, 4)}, kStart / 1000);
  ASSERT_EQ(sampled.size(), 1u);
  sampled[0][22] = 0x40;
  sampled[0][23] = 100;
  l.Feed(sampled);
  std::map<std::string, kdFlow> by_iface;
  for (const kdFlow& f : l.Flows()) by_iface[f.iface->name] = f;
  const kdFlow& dns = by_iface["192.0.2.1/if3"];
  EXPECT_EQ(dns.packets_a + dns.packets_b, 4u);
  EXPECT_EQ(dns.bytes_a + dns.bytes_b, 550u);
  EXPECT_TRUE(dns.packets_a == 2 && dns.packets_b == 2);
  const kdFlow& scaled = by_iface["192.0.2.1/if4"];
  EXPECT_EQ(scaled.packets_a + scaled.packets_b, 300u);
  EXPECT_EQ(scaled.bytes_a + scaled.bytes_b, 30000u);
  // Interface statistics count what the records reported.
  uint64_t ip = 0, bytes = 0;
  for (const auto& s : l.recorder.target.stats) {
    ip += s.stats.ip;
    bytes += s.stats.ip_bytes;
  }
  EXPECT_EQ(ip, 304u);
  EXPECT_EQ(bytes, 30550u);
}

TEST(FlowListener, RecordsOfOneWindowMeetAndLaterOnesCountAgain) {
  Listening l;
  kdNetflow5Encoder v5(0, 0, kStart / 1000 - 60000);
  l.Feed(v5.Encode({Uniflow("10.0.0.5", 1000, "10.0.0.6", 2000, 1, 100, 1)}, kStart / 1000));
  l.Feed(v5.Encode({Uniflow("10.0.0.6", 2000, "10.0.0.5", 1000, 2, 200, 1)}, kStart / 1000),
         kStart + 500'000);
  l.Feed(v5.Encode({Uniflow("10.0.0.5", 1000, "10.0.0.6", 2000, 4, 400, 1)}, kStart / 1000),
         kStart + 5'000'000);
  std::vector<kdFlow> flows = l.Flows();
  uint64_t packets = 0;
  for (const kdFlow& f : flows) packets += f.packets_a + f.packets_b;
  EXPECT_EQ(packets, 7u);  // each record counted once
  ASSERT_GE(flows.size(), 2u);
  EXPECT_EQ(flows[0].packets_a + flows[0].packets_b, 3u);  // the first second's pair, together
}

// Sampled headers count as many packets as their rate says; interface counters add the growth
// of discards and errors.
TEST(FlowListener, SflowSamplesAndInterfaceCounters) {
  using namespace capture_testing;
  using namespace flow_testing;
  Listening l(FlowEndpoint::Scheme::kSflow);
  const kdFlowExporter agent = kdFlowExporter::Ipv4(0xC0000209);  // the datagram's agent
  Bytes frame = Ethernet(kMacB, kMacA, 0x0800,
                         Ipv4("10.1.0.1", "192.0.2.50", 17, Udp(5000, 53, Bytes(20, 7))));
  Bytes first =
      SflowDatagram(1, {SflowFlowSample(10, SflowRawHeader(frame), 1), SflowCounterSample(100, 5)});
  Bytes second = SflowDatagram(2, {SflowCounterSample(104, 8)});
  l.listener->Datagram(0, agent, first.data(), first.size(), kStart + 1000);
  l.listener->Datagram(0, agent, second.data(), second.size(), kStart + 2000);
  std::vector<kdFlow> flows = l.Flows();
  ASSERT_EQ(flows.size(), 1u);
  EXPECT_EQ(flows[0].iface->name, "192.0.2.9/if3");
  EXPECT_EQ(flows[0].packets_a + flows[0].packets_b, 10u);
  EXPECT_EQ(flows[0].bytes_a + flows[0].bytes_b, 10u * frame.size());
  uint64_t dropped = 0, udp = 0;
  for (const auto& s : l.recorder.target.stats) {
    EXPECT_EQ(s.iface, "192.0.2.9/if3");
    dropped += s.stats.capture_dropped;
    udp += s.stats.udp;
  }
  EXPECT_EQ(dropped, 7u);
  EXPECT_EQ(udp, 10u);
}

struct Exporting {
  explicit Exporting(FlowEndpoint::Scheme scheme = FlowEndpoint::Scheme::kIpfix,
                     bool biflow = false)
      : collector([this](const kdFlowRecord& r) { records.push_back(r); }) {
    kdreplay::FlowExportOptions options;
    options.enabled = true;
    options.collector.scheme = scheme;
    options.collector.text = "test";
    options.active_seconds = 60;
    options.inactive_seconds = 15;
    options.biflow = biflow;
    exporter = std::make_unique<kdreplay::FlowExporter>(options);
    exporter->SendThrough([this](const kdDatagram& d, std::string&) {
      collector.Decode(kRouter, d.data(), d.size(), 1);
      ++datagrams;
      return true;
    });
  }
  void Packet(uint64_t at_s, const char* src, uint16_t sport, const char* dst, uint16_t dport,
              uint32_t ip_length, uint8_t flags = 0x10) {
    kdDecodedPacket p;
    p.ip_version = 4;
    SetAddress(p.src_addr, src);
    SetAddress(p.dst_addr, dst);
    p.protocol = 6;
    p.has_ports = true;
    p.src_port = sport;
    p.dst_port = dport;
    p.has_tcp_flags = true;
    p.tcp_flags = flags;
    p.ip_wire_length = ip_length;
    // The tracker's digest is the same both ways; any stands in for it here, and a slot of
    // its flow record.
    uint64_t digest = uint64_t{p.src_port} + p.dst_port;
    exporter->ObservePacket(p, kStart + at_s * 1'000'000, 5, digest, slots[digest]);
  }
  std::vector<kdFlowRecord> records;
  kdFlowCollector collector;
  std::unique_ptr<kdreplay::FlowExporter> exporter;
  std::map<uint64_t, uint32_t> slots;
  int datagrams = 0;
};

TEST(FlowExporter, EachTimeoutAndItsReason) {
  Exporting e;
  // Ends with FIN from both sides.
  e.Packet(0, "10.0.0.1", 1000, "10.0.0.2", 80, 60, 0x02);
  e.Packet(0, "10.0.0.2", 80, "10.0.0.1", 1000, 1500, 0x11);
  e.Packet(1, "10.0.0.1", 1000, "10.0.0.2", 80, 40, 0x11);
  // Quiet after its first packet: idle once the inactive timeout passed.
  e.Packet(1, "10.0.0.1", 1001, "10.0.0.3", 22, 100);
  // Busy for 90 s: one export at the active timeout, the rest forced at the end.
  for (uint64_t s = 0; s <= 90; s += 5) e.Packet(s, "10.0.0.1", 1002, "10.0.0.4", 443, 10);
  // After the idle export, a new flow takes the freed entry, and the old one comes back: the
  // slot its tracker record still holds names another flow now.
  e.Packet(40, "10.0.0.1", 1003, "10.0.0.5", 25, 70);
  e.Packet(50, "10.0.0.1", 1001, "10.0.0.3", 22, 100);
  e.exporter->Finish();
  std::map<uint16_t, std::vector<kdFlowRecord>> by_port;
  for (const kdFlowRecord& r : e.records)
    by_port[r.dst_port == 1000 ? r.src_port : r.dst_port].push_back(r);
  ASSERT_EQ(by_port[80].size(), 2u);  // two uniflows
  uint64_t web_packets = 0, web_octets = 0;
  for (const kdFlowRecord& r : by_port[80]) {
    EXPECT_EQ(r.end_reason, kd_flow_end::kEndOfFlow);
    if (r.src_port == 1000) {
      EXPECT_EQ(r.ingress_if, 5u);  // the reverse swaps the interfaces
    }
    web_packets += r.packets;
    web_octets += r.octets;
  }
  EXPECT_EQ(web_packets, 3u);
  EXPECT_EQ(web_octets, 1600u);
  ASSERT_EQ(by_port[22].size(), 2u);
  EXPECT_EQ(by_port[22][0].end_reason, kd_flow_end::kIdle);
  EXPECT_EQ(by_port[22][1].end_reason, kd_flow_end::kForced);
  EXPECT_EQ(by_port[22][1].first_ms, kStart / 1000 + 50000);
  ASSERT_EQ(by_port[25].size(), 1u);
  EXPECT_EQ(by_port[25][0].octets, 70u);
  ASSERT_EQ(by_port[443].size(), 2u);
  EXPECT_EQ(by_port[443][0].end_reason, kd_flow_end::kActive);
  EXPECT_EQ(by_port[443][1].end_reason, kd_flow_end::kForced);
  EXPECT_EQ(by_port[443][0].packets + by_port[443][1].packets, 19u);
  EXPECT_EQ(by_port[443][0].first_ms, kStart / 1000);
  EXPECT_EQ(e.exporter->flows_exported(), 6u);
}

TEST(FlowExporter, BiflowsAndTheOtherDialects) {
  for (auto [scheme, biflow, records] : {std::tuple{FlowEndpoint::Scheme::kIpfix, true, 1u},
                                         std::tuple{FlowEndpoint::Scheme::kNetflow9, false, 2u},
                                         std::tuple{FlowEndpoint::Scheme::kNetflow5, false, 2u}}) {
    Exporting e(scheme, biflow);
    e.Packet(0, "10.0.0.1", 1000, "10.0.0.2", 80, 60);
    e.Packet(0, "10.0.0.2", 80, "10.0.0.1", 1000, 1500);
    e.Packet(0, "10.0.0.2", 80, "10.0.0.1", 1000, 1500);
    e.exporter->Finish();
    ASSERT_EQ(e.records.size(), records);
    uint64_t packets = 0, octets = 0;
    for (const kdFlowRecord& r : e.records) {
      packets += r.packets + r.reverse_packets;
      octets += r.octets + r.reverse_octets;
    }
    EXPECT_EQ(packets, 3u);
    EXPECT_EQ(octets, 3060u);
    char source[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, e.records[0].src_addr, source, sizeof(source));
    EXPECT_STREQ(source, "10.0.0.1");  // the flow's first sender is its source
  }
}

bool Parse(std::vector<const char*> args, kdreplay::Options& options, std::string& error) {
  args.insert(args.begin(), "korvia-replay");
  return kdreplay::ParseCommandLine(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(FlowOptions, ListenAndExport) {
  kdreplay::Options options;
  std::string error;
  ASSERT_TRUE(Parse({"--conf", "c", "--listen", "netflow://127.0.0.1:2055", "--listen",
                     "sflow://[::1]:6343", "-i", "eth0", "--listen-buffer", "8"},
                    options, error))
      << error;
  ASSERT_EQ(options.listen.endpoints.size(), 2u);
  EXPECT_EQ(options.listen.endpoints[1].scheme, FlowEndpoint::Scheme::kSflow);
  EXPECT_EQ(options.listen.endpoints[1].address.ss_family, AF_INET6);
  EXPECT_EQ(options.listen.buffer_mib, 8);
  options = {};
  ASSERT_TRUE(Parse({"--conf", "c", "-r", "f.pcap", "--export", "ipfix://127.0.0.1:4739",
                     "--export-domain", "4000000000", "--export-inactive", "5", "--export-biflow"},
                    options, error))
      << error;
  EXPECT_EQ(options.export_flows.domain, 4000000000u);
  EXPECT_EQ(options.export_flows.inactive_seconds, 5u);
  EXPECT_EQ(options.export_flows.active_seconds, 1800u);
  EXPECT_TRUE(options.export_flows.biflow);

  const std::vector<std::vector<const char*>> refused = {
      {"--conf", "c", "--listen", "netflow://127.0.0.1:2055", "-r", "f.pcap"},
      {"--conf", "c", "--listen", "netflow://127.0.0.1:2055", "--events", "e"},
      {"--conf", "c", "--listen", "ipfix://127.0.0.1:2055"},
      {"--conf", "c", "--listen", "netflow://127.0.0.1"},
      {"--conf", "c", "--listen", "netflow://127.0.0.1:0"},
      {"--conf", "c", "--listen", "netflow://127.0.0.1:2055", "--listen",
       "netflow://127.0.0.1:2055"},
      {"--conf", "c", "-r", "f.pcap", "--listen-buffer", "8"},
      {"--conf", "c", "--listen", "netflow://127.0.0.1:2055", "-c", "5"},
      {"--read", "out", "--listen", "netflow://127.0.0.1:2055"},
      {"--conf", "c", "-r", "f.pcap", "--export", "sflow://127.0.0.1:6343"},
      {"--conf", "c", "--events", "e", "--export", "ipfix://127.0.0.1:4739"},
      {"--conf", "c", "-r", "f.pcap", "--export-domain", "1"},
      {"--conf", "c", "-r", "f.pcap", "--export", "netflow9://127.0.0.1:9", "--export-biflow"},
      {"--conf", "c", "-r", "f.pcap", "--export", "ipfix://127.0.0.1:9", "--export-active", "0"},
  };
  for (const auto& args : refused) {
    options = {};
    EXPECT_FALSE(Parse(args, options, error)) << args[3];
  }
}

}  // namespace
