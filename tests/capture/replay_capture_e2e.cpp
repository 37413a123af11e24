// korvia-replay on capture files, end to end through the real plugin: per address pair totals
// against tshark's, the command line, and every capture of the robustness corpus.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include "korviad/kd_flow.h"
#include "packet_builder.h"
#include "replay/replay_harness.h"
#include "replay_options.h"

namespace {

using replay_testing::json;
using replay_testing::ReplayHarness;
using replay_testing::ReplayResult;

struct Totals {
  uint64_t packets = 0;
  uint64_t bytes = 0;
  bool operator==(const Totals& o) const { return packets == o.packets && bytes == o.bytes; }
};
using PairTotals = std::map<std::string, Totals>;

std::ostream& operator<<(std::ostream& out, const PairTotals& pairs) {
  for (const auto& [pair, t] : pairs)
    out << "\n  " << pair << ": " << t.packets << " / " << t.bytes;
  return out;
}

std::string Canonical(const std::string& text) {
  unsigned char bytes[16];
  char out[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1) return inet_ntop(AF_INET, bytes, out, 64);
  if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) return inet_ntop(AF_INET6, bytes, out, 64);
  return text;
}

std::string PairKey(const std::string& a, const std::string& b) {
  std::string x = Canonical(a), y = Canonical(b);
  return x < y ? x + " " + y : y + " " + x;
}

std::string DataFile(const std::string& name) {
  return std::string(KORVIA_TEST_DATA) + "/" + name;
}

// Record type 2, privacy off, flat rows, all to standard output.
json Type2Conf() {
  return {{"aggregator", 2},
          {"privacy_mode", false},
          {"nested", false},
          {"log_interval", 3600},
          {"sinks", {{"sink", {{"ch", json::object()}}}}}};
}

// The rows of every dispatched payload.
std::vector<json> Rows(const ReplayResult& result) {
  std::vector<json> rows;
  for (const json& dispatch : result.Dispatches()) {
    const json& stats = dispatch["payload"]["stats"];
    if (!stats.is_array()) continue;
    for (const json& row : stats) rows.push_back(row);
  }
  return rows;
}

PairTotals PairsOf(const std::vector<json>& rows) {
  PairTotals pairs;
  for (const json& row : rows) {
    Totals& t = pairs[PairKey(row["local_ip"], row["other_ip"])];
    t.packets += row["packets"].get<uint64_t>();
    t.bytes += row["local_bytes"].get<uint64_t>() + row["other_bytes"].get<uint64_t>();
  }
  return pairs;
}

PairTotals PluginPairs(const ReplayResult& result) {
  return PairsOf(Rows(result));
}

bool HaveTshark() {
  return system("tshark -v >/dev/null 2>&1") == 0;
}

// tshark's frames summed per pair of the outermost IP header (see capture_file_test.cpp), of
// those that display_filter keeps when there is one.
// One IP packet as tshark reads it: its capture time, address pair and frame length.
struct TsharkPacket {
  double time = 0;
  std::string pair;
  uint64_t bytes = 0;
};

std::vector<TsharkPacket> TsharkPackets(const std::string& path,
                                        const std::string& display_filter = "") {
  std::string filter = display_filter.empty() ? "" : " -Y '" + display_filter + "'";
  std::string command = "tshark -n -r '" + path + "'" + filter +
                        " -T fields -E occurrence=f -e frame.len -e frame.protocols -e ip.src "
                        "-e ip.dst -e ipv6.src -e ipv6.dst -e frame.time_epoch 2>/dev/null";
  std::vector<TsharkPacket> packets;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  if (pipe == nullptr) return packets;
  char line[4096];
  while (fgets(line, sizeof(line), pipe) != nullptr) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) fields.push_back(field);
    fields.resize(7);
    for (auto& f : fields) {
      while (!f.empty() && (f.back() == '\n' || f.back() == '\r')) f.pop_back();
    }
    std::string layers = ":" + fields[1] + ":";
    size_t v4 = layers.find(":ip:"), v6 = layers.find(":ipv6:");
    if (v4 == std::string::npos && v6 == std::string::npos) continue;
    bool use_v4 = v4 != std::string::npos && (v6 == std::string::npos || v4 < v6);
    const std::string& source = use_v4 ? fields[2] : fields[4];
    const std::string& destination = use_v4 ? fields[3] : fields[5];
    if (source.empty() || destination.empty()) continue;
    packets.push_back({std::stod(fields[6]), PairKey(source, destination), std::stoull(fields[0])});
  }
  pclose(pipe);
  return packets;
}

void AddTsharkPairs(const std::string& path, PairTotals& pairs,
                    const std::string& display_filter = "") {
  for (const TsharkPacket& packet : TsharkPackets(path, display_filter)) {
    Totals& t = pairs[packet.pair];
    t.packets += 1;
    t.bytes += packet.bytes;
  }
}

const char* const kComparable[] = {
    "ssh.pcap",
    "resp_1_benchmark.pcap",
    "quic_handshake.pcap",
    "dhcp-rfc4388.pcap",
    "icmpv6.pcap",
    "ipv6-routing-header.pcap",
    "dns_udp.pcap",
    "ipv4_tcp_http_xml.pcap",
    "LINKTYPE_IPV6.pcap",
    "LINKTYPE_RAW_ipv4.pcap",
    "OSPFv2_Capture_FINAL.pcapng",
};

ReplayResult ReplayFiles(ReplayHarness& harness, const std::vector<std::string>& files,
                         std::vector<std::string> extra = {}) {
  std::vector<std::string> arguments = {"--plugin", KORVIA_PLUGIN_PATH, "--conf",
                                        harness.conf_path()};
  for (const std::string& file : files) {
    arguments.push_back("--pcap");
    arguments.push_back(file);
  }
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return harness.RunWith(arguments);
}

TEST(ReplayCapture, Type2PairTotalsMatchTshark) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/bootstrap installs it)";
  ReplayHarness harness;
  harness.SetConf(Type2Conf());
  std::vector<std::string> all;
  PairTotals all_tshark;
  for (const char* name : kComparable) {
    PairTotals theirs;
    AddTsharkPairs(DataFile(name), theirs);
    AddTsharkPairs(DataFile(name), all_tshark);
    all.push_back(DataFile(name));
    // One-second flow-map events: long-lived flows are reported in many snapshots.
    ReplayResult result = ReplayFiles(harness, {DataFile(name)}, {"--update-interval", "1"});
    ASSERT_EQ(result.status, 0) << name << ": " << result.err;
    PairTotals ours = PluginPairs(result);
    EXPECT_EQ(ours, theirs) << name << "\nplugin:" << ours << "\ntshark:" << theirs;
  }
  // All files in one run, in order, with the default interval.
  ReplayResult result = ReplayFiles(harness, all);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(PluginPairs(result), all_tshark);
}

// Each dispatched window's per-pair totals against tshark's for the window's range of file.
void ExpectWindowsMatchTshark(const std::string& file, const std::vector<json>& dispatches) {
  const std::vector<TsharkPacket> packets = TsharkPackets(file);
  for (const json& dispatch : dispatches) {
    const json& payload = dispatch["payload"];
    int64_t from = payload["log_time_start"], to = payload["log_time_end"];
    PairTotals theirs;
    for (const TsharkPacket& packet : packets) {
      if (packet.time < static_cast<double>(from) || packet.time >= static_cast<double>(to))
        continue;
      theirs[packet.pair].packets += 1;
      theirs[packet.pair].bytes += packet.bytes;
    }
    PairTotals ours = PairsOf(payload["stats"].get<std::vector<json>>());
    EXPECT_EQ(ours, theirs) << from << "-" << to << "\nplugin:" << ours << "\ntshark:" << theirs;
  }
}

// Replays file with type 2 at each interval (updates every 15 s): each window matches tshark's
// range, and together the windows hold every packet of the file.
void ExpectWindowsMatchTsharkAtIntervals(ReplayHarness& harness, const std::string& file,
                                         const std::vector<int>& intervals) {
  PairTotals whole;
  AddTsharkPairs(file, whole);
  for (int interval : intervals) {
    SCOPED_TRACE("log_interval " + std::to_string(interval));
    json conf = Type2Conf();
    conf["log_interval"] = interval;
    harness.SetConf(conf);
    ReplayResult result = ReplayFiles(harness, {file}, {"--update-interval", "15"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<json> dispatches = result.Dispatches();
    ExpectWindowsMatchTshark(file, dispatches);
    std::vector<json> rows;
    for (const json& dispatch : dispatches) {
      EXPECT_EQ(dispatch["payload"]["log_time_start"].get<int64_t>() % interval, 0);
      for (const json& row : dispatch["payload"]["stats"]) rows.push_back(row);
    }
    EXPECT_EQ(PairsOf(rows), whole);
  }
}

TEST(ReplayCapture, WindowsFollowCaptureTime) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/bootstrap installs it)";
  ReplayHarness harness;
  json conf = Type2Conf();
  conf["log_interval"] = 5;
  harness.SetConf(conf);
  // 20 seconds of capture, from 2018-02-14 15:30:19.01 to 15:30:38.73.
  const std::string file = DataFile("OSPFv2_Capture_FINAL.pcapng");
  ReplayResult result = ReplayFiles(harness, {file}, {"--update-interval", "1"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::vector<json> dispatches = result.Dispatches();
  ASSERT_EQ(dispatches.size(), 5u) << result.out;
  int64_t previous_end = 1518622215;  // a multiple of the window, before the first packet
  for (const json& dispatch : dispatches) {
    EXPECT_EQ(dispatch["payload"]["log_time_start"], previous_end);
    previous_end = dispatch["payload"]["log_time_end"];
  }
  EXPECT_EQ(previous_end, 1518622239);  // the second after the last packet
  ExpectWindowsMatchTshark(file, dispatches);
}

// A classic pcap file of Ethernet frames, each at its given second of capture time.
void WritePcap(const std::string& path,
               const std::vector<std::pair<double, capture_testing::Bytes>>& frames) {
  using capture_testing::Bytes;
  Bytes file;
  auto put32 = [&file](uint32_t v) {
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put32(0xa1b2c3d4);
  put32(0x00040002);  // version 2.4
  put32(0);
  put32(0);
  put32(65535);
  put32(1);  // Ethernet
  for (const auto& [seconds, frame] : frames) {
    put32(static_cast<uint32_t>(seconds));
    put32(static_cast<uint32_t>((seconds - static_cast<uint32_t>(seconds)) * 1e6));
    put32(static_cast<uint32_t>(frame.size()));
    put32(static_cast<uint32_t>(frame.size()));
    file.insert(file.end(), frame.begin(), frame.end());
  }
  FILE* out = fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(fwrite(file.data(), 1, file.size(), out), file.size());
  fclose(out);
}

// Flows whose detection never completes (lone SYNs, datagrams without payload) beside ICMP and a
// flow with payload, over six windows of 20 seconds with updates every 15: each window's
// per-pair totals are tshark's for its range, whatever the flows' detection.
TEST(ReplayCapture, EveryPacketCountsInTheWindowOfItsCaptureTime) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/bootstrap installs it)";
  using namespace capture_testing;
  const double start = 1700000000;
  std::vector<std::pair<double, Bytes>> frames;
  for (int s = 0; s < 115; ++s) {
    const std::string local = "10.0.0." + std::to_string(s % 5 + 1);
    frames.push_back(
        {start + s + 0.1,
         Ethernet(kMacB, kMacA, 0x0800,
                  Ipv4(local, "192.0.2.7", 6, Tcp(static_cast<uint16_t>(40000 + s), 443, 0x02)))});
    frames.push_back({start + s + 0.5, Ethernet(kMacB, kMacA, 0x0800,
                                                Ipv4("10.0.1.1", "192.0.2.9", 17,
                                                     Udp(5000, static_cast<uint16_t>(1000 + s))))});
    if (s % 3 == 0)
      frames.push_back({start + s + 0.7,
                        Ethernet(kMacB, kMacA, 0x0800, Ipv4("10.0.2.1", "192.0.2.1", 1, Icmp()))});
    frames.push_back({start + s + 0.9,
                      Ethernet(kMacB, kMacA, 0x0800,
                               Ipv4("10.0.3.1", "192.0.2.53", 17, Udp(5353, 53, Bytes(20, 1))))});
  }
  ReplayHarness harness;
  const std::string file = harness.dir().File("incomplete.pcap");
  WritePcap(file, frames);
  ExpectWindowsMatchTsharkAtIntervals(harness, file, {7, 20, 30});
}

// The same on real multi-minute captures: ports and no ports, IPv6, SCTP, fragments, pcapng.
TEST(ReplayCapture, MultiMinuteCapturesMatchTsharkWindowByWindow) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/bootstrap installs it)";
  ReplayHarness harness;
  for (const char* name :
       {"afs.pcap", "icmp-rfc8335.pcap", "PIM-SM_join_prune.pcap", "PIM-DM_pruning.pcap",
        "babel_rfc6126bis.pcap", "forces3.pcap", "nhrp.pcapng"}) {
    SCOPED_TRACE(name);
    ExpectWindowsMatchTsharkAtIntervals(harness, DataFile(name), {7, 30, 60});
  }
}

// Capture files given out of time order are replayed in the order of their first packets, and
// said so; packets older than the capture time already reached are counted in the window then
// open, and said so too.
TEST(ReplayCapture, FilesOutOfTimeOrderAreSortedAndRetimingIsReported) {
  using namespace capture_testing;
  auto frames_from = [](double start, int seconds) {
    std::vector<std::pair<double, Bytes>> frames;
    for (int s = 0; s < seconds; ++s)
      frames.push_back({start + s + 0.5,
                        Ethernet(kMacB, kMacA, 0x0800, Ipv4("10.0.0.1", "192.0.2.1", 1, Icmp()))});
    return frames;
  };
  ReplayHarness harness;
  const std::string old_file = harness.dir().File("old.pcap");
  const std::string new_file = harness.dir().File("new.pcap");
  const std::string overlap = harness.dir().File("overlap.pcap");
  WritePcap(old_file, frames_from(1700000000, 10));
  WritePcap(new_file, frames_from(1700000100, 10));
  WritePcap(overlap, frames_from(1700000105, 10));
  json conf = Type2Conf();
  conf["log_interval"] = 10;
  harness.SetConf(conf);

  ReplayResult result = ReplayFiles(harness, {new_file, old_file});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("replayed in the order of their first packets: " + old_file + ", " +
                            new_file),
            std::string::npos)
      << result.err;
  std::vector<json> dispatches = result.Dispatches();
  ASSERT_EQ(dispatches.size(), 2u) << result.out;
  EXPECT_EQ(dispatches[0]["payload"]["log_time_start"], 1700000000);
  EXPECT_EQ(dispatches[1]["payload"]["log_time_start"], 1700000100);

  result = ReplayFiles(harness, {new_file, overlap});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find(overlap + ": 4 packets older than the capture time already reached"),
            std::string::npos)
      << result.err;
}

// -c stops a file replay after exactly that many packets, and the trailing words filter.
TEST(ReplayCapture, CountAndTrailingFilter) {
  ReplayHarness harness;
  harness.SetConf(Type2Conf());
  auto packets = [](const ReplayResult& result) {
    uint64_t sum = 0;
    for (const json& dispatch : result.Dispatches())
      for (const json& row : dispatch["payload"]["stats"]) sum += row["packets"].get<uint64_t>();
    return sum;
  };
  ReplayResult counted = ReplayFiles(harness, {DataFile("dhcp-rfc4388.pcap")}, {"-c", "5"});
  ASSERT_EQ(counted.status, 0) << counted.err;
  EXPECT_EQ(packets(counted), 5u) << counted.out;
  ReplayResult filtered = ReplayFiles(harness, {DataFile("dhcp-rfc4388.pcap")}, {"icmp"});
  ASSERT_EQ(filtered.status, 0) << filtered.err;
  EXPECT_EQ(packets(filtered), 6u) << filtered.out;  // the capture's ICMP packets
}

// The OSPF capture in windows of 5 seconds, its payloads written to a time-named folder or to
// standard output.
const char* const kOspf = "OSPFv2_Capture_FINAL.pcapng";

ReplayResult ReplayOspfWindows(ReplayHarness& harness, std::vector<std::string> extra,
                               bool to_files = true) {
  json conf = Type2Conf();
  conf["log_interval"] = 5;
  harness.SetConf(conf);
  extra.insert(extra.end(), {"--update-interval", "1"});
  if (to_files)
    extra.insert(extra.end(), {"--sink", "sink=dir:" + harness.dir().File("out/%H%M%S")});
  return ReplayFiles(harness, {DataFile(kOspf)}, extra);
}

std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Per-pair totals of a type 2 summary table: its rows are the lines after the rule ("---").
PairTotals SummaryPairs(const std::vector<std::string>& lines) {
  PairTotals pairs;
  bool rows = false;
  for (const std::string& line : lines) {
    if (line.rfind("---", 0) == 0) {
      rows = true;
      continue;
    }
    std::vector<std::string> cells;
    std::istringstream in(line);
    for (std::string cell; in >> cell;) cells.push_back(cell);
    if (!rows || cells.size() != 11) continue;
    Totals& t = pairs[PairKey(cells[1], cells[2])];
    t.packets += std::stoull(cells[9]);
    t.bytes += std::stoull(cells[10]);
  }
  return pairs;
}

TEST(ReplayCapture, SummarySumsEachRecordAcrossWindows) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/bootstrap installs it)";
  ReplayHarness harness;
  ReplayResult result = ReplayOspfWindows(harness, {"--summary", "--top", "100"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::vector<std::string> lines = TextLines(result.out);
  auto header = std::find_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.rfind("Summary", 0) == 0; });
  ASSERT_NE(header, lines.end()) << result.out;
  EXPECT_EQ(*header,
            "Summary of sink \"sink\", channel \"ch\": 5 payloads, 2018-02-14 15:30:15 to "
            "2018-02-14 15:30:39 UTC.");
  PairTotals theirs;
  AddTsharkPairs(DataFile(kOspf), theirs);
  EXPECT_EQ(SummaryPairs(lines), theirs) << result.out;
}

TEST(ReplayCapture, ReadBackSummarisesTheFilesWithinATimeRange) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/bootstrap installs it)";
  ReplayHarness harness;
  ReplayResult run = ReplayOspfWindows(harness, {"--summary"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string out = harness.dir().File("out");
  ReplayResult all = harness.RunWith({"--read", out});
  ASSERT_EQ(all.status, 0) << all.err;
  // The same tables as the run's, after a first line naming the files instead of the channel.
  std::vector<std::string> ran = TextLines(run.out), read = TextLines(all.out);
  ASSERT_GE(read.size(), 2u) << all.out;
  EXPECT_EQ(read[0].substr(read[0].find(':')),
            ": 5 payloads, 2018-02-14 15:30:15 to 2018-02-14 15:30:39 UTC.");
  EXPECT_EQ(std::vector<std::string>(read.begin() + 1, read.end()),
            std::vector<std::string>(ran.end() - (read.size() - 1), ran.end()));

  ReplayResult part =
      harness.RunWith({"--read", out + "/153015-sink-ch-1.json", out, "--from",
                       "2018-02-14 15:30:24", "--to", "1518622234", "--top", "100"});
  ASSERT_EQ(part.status, 0) << part.err;
  std::vector<std::string> lines = TextLines(part.out);
  EXPECT_EQ(lines[0],
            "Summary of 6 files: 2 payloads, 2018-02-14 15:30:25 to 2018-02-14 15:30:35 UTC.");
  PairTotals theirs;
  AddTsharkPairs(DataFile(kOspf), theirs,
                 "frame.time_epoch >= 1518622225 && frame.time_epoch < 1518622235");
  EXPECT_EQ(SummaryPairs(lines), theirs) << part.out;
}

TEST(ReplayCapture, CsvRowsOfARunAndOfItsFilesReadBack) {
  ReplayHarness harness;
  ReplayResult json_run = ReplayOspfWindows(harness, {}, false);
  ASSERT_EQ(json_run.status, 0) << json_run.err;
  std::vector<json> rows = Rows(json_run);
  ReplayResult csv_run = ReplayOspfWindows(harness, {"--csv"});
  ASSERT_EQ(csv_run.status, 0) << csv_run.err;
  std::vector<std::string> lines = TextLines(csv_run.out);
  ASSERT_EQ(lines.size(), rows.size() + 1) << csv_run.out;
  std::vector<std::string> columns;
  std::istringstream header(lines[0]);
  for (std::string column; std::getline(header, column, ',');) columns.push_back(column);
  EXPECT_EQ(columns.size(), rows[0].size() + 4) << lines[0];  // the window and the run
  EXPECT_EQ(columns[0], "log_time_start");
  auto local_bytes = std::find(columns.begin(), columns.end(), "local_bytes") - columns.begin();
  // A row's cells (its digests are one quoted cell) in the order of the JSON rows.
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string& line = lines[i + 1];
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (char c : line) {
      if (c == '"') quoted = !quoted;  // a doubled quote toggles twice
      if (c == ',' && !quoted) {
        cells.emplace_back();
      } else {
        cells.back() += c;
      }
    }
    ASSERT_EQ(cells.size(), columns.size()) << line;
    EXPECT_EQ(cells[local_bytes], rows[i]["local_bytes"].dump()) << line;
  }
  ReplayResult read = harness.RunWith({"--read", harness.dir().File("out"), "--csv"});
  ASSERT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, csv_run.out);
}

TEST(ReplayCapture, FlowsCarryTheCaptureInterface) {
  ReplayHarness harness;
  json conf = Type2Conf();
  conf["aggregator"] = 3;
  harness.SetConf(conf);
  ReplayResult result = ReplayFiles(harness, {DataFile("dns_udp.pcap")},
                                    {"--iface-role", "external", "--local-net", "209.87.0.0/16"});
  ASSERT_EQ(result.status, 0) << result.err;
  std::vector<json> rows = Rows(result);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["interface"], "dns_udp.pcap");
  EXPECT_EQ(rows[0]["internal"], false);
  EXPECT_EQ(rows[0]["local_ip"], "209.87.249.18");  // the only local network given
  EXPECT_EQ(rows[0]["other_ip"], "192.168.1.11");
  EXPECT_EQ(rows[0]["local_origin"], false);
  EXPECT_EQ(rows[0]["detected_protocol_name"], "DNS");
  EXPECT_EQ(rows[0]["ip_version"], 4);
}

TEST(ReplayCapture, InterfaceStatisticsReachTheInterfaceRecord) {
  ReplayHarness harness;
  json conf = Type2Conf();
  conf["aggregator"] = 5;
  harness.SetConf(conf);
  // The filter leaves out the ARP frames, which would otherwise count as discarded.
  for (std::string filter : {"", "not arp"}) {
    ReplayResult result = ReplayFiles(
        harness, {DataFile("dhcp-rfc4388.pcap")},
        filter.empty() ? std::vector<std::string>{} : std::vector<std::string>{"--filter", filter});
    ASSERT_EQ(result.status, 0) << result.err;
    uint64_t raw = 0, discarded = 0, ip = 0, packets = 0;
    for (const json& row : Rows(result)) {
      EXPECT_EQ(row["ifname"], "dhcp-rfc4388.pcap");
      raw += row["raw"].get<uint64_t>();
      discarded += row["discarded"].get<uint64_t>();
      ip += row["ip"].get<uint64_t>();
      packets += row["local_packets"].get<uint64_t>() + row["other_packets"].get<uint64_t>();
    }
    EXPECT_EQ(raw, filter.empty() ? 54u : 42u);
    EXPECT_EQ(discarded, filter.empty() ? 12u : 0u);
    EXPECT_EQ(ip, 42u);
    EXPECT_EQ(packets, 42u);
  }
}

TEST(ReplayCapture, CommandLineMistakes) {
  ReplayHarness harness;
  harness.SetConf(Type2Conf());
  std::string file = DataFile("ssh.pcap");
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  std::vector<Case> cases = {
      {{"--pcap", file, "--events", harness.script_path()}, "--events"},
      {{"--pcap", file, "--live", "lo"}, "--live"},
      {{"--pcap", file, "--iface-role", "sideways"}, "--iface-role"},
      {{"--pcap", file, "--local-net", "10.0.0.0/33"}, "--local-net"},
      {{"--pcap", file, "--update-interval", "0"}, "--update-interval"},
      {{"--pcap", file, "--update-interval", "ten"}, "--update-interval"},
      {{"--pcap", file, "--max-flows", "0"}, "--max-flows"},
      {{"--pcap", file, "--max-flows", "-5"}, "--max-flows"},
      {{"--realtime"}, "--pcap"},
      {{"--pcap", file, "--realtime=1"}, "--realtime takes no value"},
      {{"--pcap", file, "--snaplen", "128"}, "--snaplen applies to --live only"},
      {{"--live", "lo", "--snaplen", "10"}, "--snaplen must be a whole number from 64"},
      {{"--live", "lo", "--buffer-size", "1.5"}, "--buffer-size must be a whole number"},
      {{"--live", "lo", "--live", "lo"}, "--live lo given twice"},
      {{"--events", harness.script_path(), "--filter", "tcp"}, "--filter applies to"},
      // A filter libpcap refuses is named with libpcap's reason.
      {{"--pcap", file, "--filter", "port"}, "--filter \"port\": " + file + ": "},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"--conf", harness.conf_path()};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    ReplayResult result = harness.RunWith(arguments);
    EXPECT_EQ(result.status, 2) << c.message << ": " << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty());
  }
}

TEST(ReplayCapture, CaptureOptionsParse) {
  std::vector<const char*> argv = {"korvia-replay", "--conf",        "c.json",
                                   "--pcap",        "b.pcap",        "--pcap=a.pcap",
                                   "--local-net",   "192.0.2.0/24",  "--local-net=2001:db8::/32",
                                   "--iface-role",  "external",      "--update-interval=2.5",
                                   "--realtime",    "--progress",    "--filter",
                                   "not port 22",   "--max-flows=20"};
  kdreplay::Options options;
  std::string error;
  ASSERT_TRUE(
      kdreplay::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), options, error))
      << error;
  EXPECT_EQ(options.pcaps, (std::vector<std::string>{"b.pcap", "a.pcap"}));
  EXPECT_EQ(options.local_nets, (std::vector<std::string>{"192.0.2.0/24", "2001:db8::/32"}));
  EXPECT_EQ(options.iface_role, kdInterface::kRoleExternal);
  EXPECT_DOUBLE_EQ(options.update_interval, 2.5);
  EXPECT_TRUE(options.realtime && options.progress);
  EXPECT_EQ(options.filter, "not port 22");
  EXPECT_EQ(options.max_flows, 20u);

  kdreplay::Options defaults;
  std::vector<const char*> live = {"korvia-replay", "--conf",    "c.json", "--live",        "eth0",
                                   "--live=eth1",   "--snaplen", "96",     "--buffer-size", "64"};
  ASSERT_TRUE(
      kdreplay::ParseCommandLine(static_cast<int>(live.size()), live.data(), defaults, error));
  EXPECT_EQ(defaults.live, (std::vector<std::string>{"eth0", "eth1"}));
  EXPECT_EQ(defaults.snaplen, 96);
  EXPECT_EQ(defaults.buffer_mib, 64);
  EXPECT_EQ(defaults.iface_role, kdInterface::kRoleInternal);
  EXPECT_DOUBLE_EQ(defaults.update_interval, 15);
  EXPECT_TRUE(defaults.local_nets.empty());
  EXPECT_EQ(defaults.max_flows, 1000000u);
}

TEST(ReplayCapture, RealtimeKeepsTheCapturesPace) {
  ReplayHarness harness;
  harness.SetConf(Type2Conf());
  ReplayResult fast = ReplayFiles(harness, {DataFile("ssh.pcap")}, {"--progress"});
  ASSERT_EQ(fast.status, 0) << fast.err;
  EXPECT_NE(fast.err.find("ssh.pcap: 54 packets, 100%"), std::string::npos) << fast.err;
  auto start = std::chrono::steady_clock::now();
  ReplayResult paced = ReplayFiles(harness, {DataFile("ssh.pcap")}, {"--realtime"});
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(paced.status, 0) << paced.err;
  EXPECT_GE(took, std::chrono::milliseconds(500));  // the capture spans 0.575 s
  EXPECT_EQ(PluginPairs(paced), PluginPairs(fast));
}

TEST(ReplayCapture, UnreadableFilesStopTheRunBeforeAnything) {
  ReplayHarness harness;
  harness.SetConf(Type2Conf());
  std::string text = harness.dir().Write("notes.pcap", "not a capture\n");
  ReplayResult result = ReplayFiles(harness, {DataFile("ssh.pcap"), text});
  EXPECT_EQ(result.status, 6);
  EXPECT_NE(result.err.find("notes.pcap"), std::string::npos) << result.err;
  EXPECT_TRUE(result.Dispatches().empty());  // not even the first file was replayed

  std::string missing = harness.dir().File("missing.pcap");
  result = ReplayFiles(harness, {missing});
  EXPECT_EQ(result.status, 6);
  EXPECT_NE(result.err.find("korvia-replay: " + missing + ": No such file"), std::string::npos)
      << result.err;
}

// A full flow table is never silent: each update interval that discarded packets says how many.
TEST(ReplayCapture, FullFlowTableIsReported) {
  ReplayHarness harness;
  harness.SetConf(Type2Conf());
  ReplayResult result = ReplayFiles(harness, {DataFile("dhcp-rfc4388.pcap")}, {"--max-flows", "1"});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string line =
      "dhcp-rfc4388.pcap: packet 13: the flow table is full (--max-flows 1): 2 packets of "
      "untracked flows discarded since the last update";
  EXPECT_NE(result.err.find(line), std::string::npos) << result.err;
  size_t reports = 0;
  for (size_t at = result.err.find("flow table is full"); at != std::string::npos;
       at = result.err.find("flow table is full", at + 1)) {
    ++reports;
  }
  EXPECT_EQ(reports, 6u) << result.err;  // one per update interval that discarded packets
}

// Standard input goes through the same reader as a file.
TEST(ReplayCapture, StandardInputIsReadLikeAFile) {
  ReplayHarness harness;
  harness.SetConf(Type2Conf());
  const std::string file = DataFile("dhcp-rfc4388.pcap");
  ReplayResult from_file = ReplayFiles(harness, {file});
  ReplayResult from_stdin = harness.RunWith(
      {"--plugin", KORVIA_PLUGIN_PATH, "--conf", harness.conf_path(), "--pcap", "-"},
      replay_testing::ReadFile(file));
  ASSERT_EQ(from_stdin.status, 0) << from_stdin.err;
  EXPECT_FALSE(PluginPairs(from_stdin).empty());
  EXPECT_EQ(PluginPairs(from_stdin), PluginPairs(from_file));
}

TEST(ReplayCapture, FileCutShortDeliversWhatItHolds) {
  ReplayHarness harness;
  harness.SetConf(Type2Conf());
  std::string bytes = replay_testing::ReadFile(DataFile("ssh.pcap"));
  std::string cut = harness.dir().Write("cut.pcap", bytes.substr(0, bytes.size() - 30));
  ReplayResult result = ReplayFiles(harness, {cut, DataFile("dns_udp.pcap")});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("cut.pcap"), std::string::npos) << result.err;
  PairTotals pairs = PluginPairs(result);
  uint64_t packets = 0;
  for (const auto& entry : pairs) packets += entry.second.packets;
  EXPECT_EQ(packets, 53u + 2u);  // the packets before the cut, and the next file
}

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> names;
  DIR* dir = opendir(KORVIA_CORPUS_DIR);
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.find(".pcap") != std::string::npos) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Every capture of the corpus beside the repository, each in a run of its own: a clean exit,
// and nothing but warnings on standard error. Runs go four at a time; most of a run is the
// plugin starting and stopping.
TEST(ReplayCapture, EveryCorpusCaptureExitsCleanly) {
  std::vector<std::string> names = CorpusFiles();
  if (names.empty()) GTEST_SKIP() << "no capture corpus at " << KORVIA_CORPUS_DIR;
  json conf = Type2Conf();
  conf["aggregator"] = 8;  // reads the most flow attributes, host names included
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(8);
  std::atomic<size_t> next{0};
  std::atomic<bool> late{false};
  auto worker = [&] {
    ReplayHarness harness;
    harness.SetConf(conf);
    for (size_t i = next++; i < names.size(); i = next++) {
      if (std::chrono::steady_clock::now() > deadline) {
        late = true;
        return;
      }
      const std::string& name = names[i];
      ReplayResult result = ReplayFiles(harness, {std::string(KORVIA_CORPUS_DIR) + "/" + name},
                                        {"--update-interval", "1"});
      EXPECT_EQ(result.status, 0) << name << ": " << result.err;
      EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << name << ": " << result.err;
      EXPECT_EQ(result.err.find("runtime error"), std::string::npos) << name << ": " << result.err;
    }
  };
  std::vector<std::thread> workers;
  for (int n = 0; n < 4; ++n) workers.emplace_back(worker);
  for (std::thread& t : workers) t.join();
  EXPECT_FALSE(late) << "the corpus took more than 8 minutes";
}

}  // namespace
