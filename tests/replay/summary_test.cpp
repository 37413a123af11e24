// korvia-replay --summary and --pretty: records read back out of payloads, the ranked table, and
// both options end to end with the real plugin on the bundled record examples.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "korviad/kd_plugin.h"
#include "replay_csv.h"
#include "replay_harness.h"
#include "replay_line_writer.h"
#include "replay_options.h"
#include "replay_record_rows.h"
#include "replay_sink_router.h"
#include "replay_summary.h"

namespace {

using kdreplay::ExtractRecordRows;
using kdreplay::RecordRow;
using kdreplay::RunSummary;
using nlohmann::json;

json Envelope(json stats) {
  return {{"log_time_start", 1}, {"log_time_end", 2}, {"stats", std::move(stats)}};
}

json Type1Row(const std::string& ip, uint64_t upload, uint64_t download) {
  return {{"application_id", "3.youtube"},
          {"download", download},
          {"local_ip", ip},
          {"local_mac", "02:00:00:00:00:10"},
          {"packets", 5},
          {"protocol_id", 37},
          {"upload", upload}};
}

// The cell of the column with this header, or "<absent>".
std::string Cell(const RecordRow& row, const std::string& header) {
  const auto& columns = row.layout->columns;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].header == header) return row.cells[i].value_or("<absent>");
  }
  return "<no column>";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// The lines of the summary, from its first line on ("Summary...").
std::vector<std::string> SummaryLines(const std::string& out) {
  std::vector<std::string> all = Lines(out);
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].rfind("Summary", 0) == 0) return {all.begin() + i, all.end()};
  }
  return {};
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(RecordRows, FlatRowsGiveTheirColumnsAndByteTotals) {
  json private_row = Type1Row("", 1, 2);
  private_row.erase("local_ip");
  private_row.erase("local_mac");
  std::vector<RecordRow> rows;
  ASSERT_TRUE(
      ExtractRecordRows(Envelope({Type1Row("192.168.1.10", 2000, 80000), private_row}), 1, rows));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].layout->type, 1);
  EXPECT_FALSE(rows[0].nested);
  EXPECT_EQ(rows[0].bytes, 82000u);
  EXPECT_EQ(Cell(rows[0], "local ip"), "192.168.1.10");
  EXPECT_EQ(Cell(rows[0], "application"), "3.youtube");
  EXPECT_EQ(Cell(rows[0], "protocol"), "37");
  EXPECT_EQ(Cell(rows[1], "local ip"), "<absent>");
  EXPECT_EQ(rows[1].bytes, 3u);
}

TEST(RecordRows, EachTypeIsTheTypeTheSenderNamed) {
  const std::vector<std::pair<json, int>> cases = {
      {{{"upload", 1}, {"download", 2}, {"packets", 1}}, 1},
      {{{"flow_count", 1}, {"local_bytes", 1}, {"other_bytes", 2}}, 2},
      {{{"digests", {"00000000000003e9"}}, {"local_bytes", 1}, {"other_bytes", 2}}, 3},
      {{{"vlan_id", 10}, {"upload", 1}, {"download", 2}}, 4},
      {{{"ifname", "eth0"}, {"raw", 1}, {"local_bytes", 1}, {"other_bytes", 2}}, 5},
      {{{"tags", {"a"}}, {"digests", json::array()}, {"local_bytes", 1}, {"other_bytes", 2}}, 6},
      {{{"vlan_id", 0}, {"hostname", "example.com"}, {"upload", 1}, {"download", 2}}, 8},
      // Members alone would say type 4: the sender said 8.
      {{{"vlan_id", 0}, {"upload", 1}, {"download", 2}}, 8},
  };
  for (const auto& [record, type] : cases) {
    std::vector<RecordRow> rows;
    ASSERT_TRUE(ExtractRecordRows(Envelope({record}), type, rows)) << record;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].layout->type, type) << record;
    EXPECT_EQ(rows[0].bytes, 3u) << record;
  }
}

TEST(RecordRows, NestedTreesGiveEachRecordItsPath) {
  json by_name;
  by_name["02:00:00:00:00:10"]["192.168.1.10"]["3.youtube"]["37"] = {
      {"download", 80000}, {"packets", 102}, {"upload", 2000}};
  by_name["02:00:00:00:00:22"]["192.168.1.22"]["0.korvia.unclassified"]["25"] = {
      {"download", 240}, {"packets", 2}, {"upload", 80}};
  std::vector<RecordRow> rows;
  ASSERT_TRUE(ExtractRecordRows(Envelope(by_name), 1, rows));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].nested);
  EXPECT_EQ(rows[0].layout->type, 1);
  EXPECT_EQ(rows[0].path, "02:00:00:00:00:10/192.168.1.10/3.youtube/37");
  EXPECT_EQ(rows[1].path, "02:00:00:00:00:22/192.168.1.22/0.korvia.unclassified/25");
  EXPECT_EQ(rows[0].bytes, 82000u);

  // Types 4 and 8: numeric levels are array positions, with nulls where no record is.
  json by_position = json::array();
  by_position[2]["198.51.100.20"][443][3][37] = {
      {"vlan_id", 2}, {"other_port", 443}, {"upload", 1}, {"download", 2}};
  for (int type : {4, 8}) {
    rows.clear();
    ASSERT_TRUE(ExtractRecordRows(Envelope(by_position), type, rows));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].nested);
    EXPECT_EQ(rows[0].layout->type, type);  // a nested type 8 tree reads as type 8, not 4
    EXPECT_EQ(rows[0].path, "2/198.51.100.20/443/3/37");
    EXPECT_EQ(Cell(rows[0], "vlan"), "2");
  }
}

TEST(RecordRows, NatSessionsBecomeOneRowEach) {
  json payload = json::parse(R"({"apMac": "020000000001", "flows": [
      {"clientMac": "020000000030", "family": "ipv4", "startTime": "2026-01-01T00:00:00Z",
       "state": "CLOSE", "stopTime": "2026-01-01T00:02:05Z", "uniqueId": "00000000000007d1",
       "ipv4": {"dstIp": "198.51.100.20", "dstPort": 443, "natSrcIp": "203.0.113.1",
                "natSrcPort": 61000, "srcIp": "192.168.1.30", "srcPort": 40000}},
      {"clientMac": "020000000031", "family": "xlat", "startTime": "2026-01-01T00:00:10Z",
       "state": "NEW", "uniqueId": "00000000000007d2",
       "xlat": {"dstIp": "198.51.100.20", "dstPort": 443, "natSrcIp": "203.0.113.1",
                "natSrcPort": 61001, "srcIp": "2001:db8::31", "srcPort": 40001}}]})");
  std::vector<RecordRow> rows;
  ASSERT_TRUE(ExtractRecordRows(payload, 7, rows));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].layout->type, 7);
  EXPECT_EQ(Cell(rows[0], "ap mac"), "020000000001");
  EXPECT_EQ(Cell(rows[0], "source"), "192.168.1.30:40000");
  EXPECT_EQ(Cell(rows[0], "translated"), "203.0.113.1:61000");
  EXPECT_EQ(Cell(rows[0], "destination"), "198.51.100.20:443");
  EXPECT_EQ(Cell(rows[0], "stop"), "2026-01-01T00:02:05Z");
  EXPECT_EQ(Cell(rows[1], "source"), "[2001:db8::31]:40001");
  EXPECT_EQ(Cell(rows[1], "stop"), "<absent>");
}

TEST(RecordRows, ForeignPayloadsAreRefusedWhole) {
  json too_deep = {{"upload", 1}};
  for (int i = 0; i < 40; ++i) too_deep = {{"level", too_deep}};
  const json nat = {{"apMac", "x"}, {"flows", json::array()}};
  const std::vector<std::pair<json, uint32_t>> foreign = {
      {json::array(), 1},
      {{{"other", 1}}, 1},
      {Envelope(too_deep), 1},
      {{{"apMac", "x"}, {"flows", 5}}, 7},
      {{{"apMac", "x"}, {"flows", {1}}}, 7},
      {Envelope({Type1Row("10.0.0.1", 1, 1)}), 7},
      {nat, 1},
      // No type named, or none known: nothing is guessed.
      {Envelope({Type1Row("10.0.0.1", 1, 1)}), 0},
      {Envelope({Type1Row("10.0.0.1", 1, 1)}), 9},
  };
  for (const auto& [payload, type] : foreign) {
    std::vector<RecordRow> rows(1);
    EXPECT_FALSE(ExtractRecordRows(payload, type, rows)) << type << payload.dump().substr(0, 200);
    EXPECT_EQ(rows.size(), 1u) << "rows appended for a refused payload";
  }
  std::vector<RecordRow> rows;
  EXPECT_TRUE(ExtractRecordRows(Envelope(nullptr), 1, rows));
  EXPECT_TRUE(ExtractRecordRows(nat, 7, rows));
  EXPECT_TRUE(rows.empty());
}

TEST(RunSummary, CountsEachPayloadOnceThroughTheFirstChannel) {
  RunSummary summary;
  json payload = Envelope({Type1Row("10.0.0.1", 10, 20)});
  // The plugin hands a payload to each channel in turn.
  summary.Observe("archive", {"flows"}, payload, 1);
  summary.Observe("archive", {"raw"}, payload, 1);
  summary.Observe("live", {"flows"}, payload, 1);
  summary.Observe("archive", {"raw", "flows"}, Envelope({Type1Row("10.0.0.2", 1, 2)}), 1);
  std::vector<std::string> lines = summary.Lines();
  std::string text = Joined(lines);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1],
            "Summary of sink \"archive\", channel \"flows\": 2 payloads, 1970-01-01 00:00:01 to "
            "1970-01-01 00:00:02 UTC.")
      << text;
  EXPECT_NE(text.find("Top 2 of 2 records by bytes; 33 bytes in all."), std::string::npos) << text;
}

TEST(RunSummary, RanksByBytesAndKeepsTheTopRowsOfALongRun) {
  RunSummary summary(3);
  uint64_t total = 0;
  for (uint64_t i = 0; i < 1000; ++i) {
    // Totals scattered over the run; the largest, 5000, comes twice (rows 500 and 900).
    uint64_t bytes = i == 500 || i == 900 ? 5000 : (i * 7919) % 4000;
    total += bytes;
    summary.Observe("s", {"c"}, Envelope({Type1Row("10.0.0." + std::to_string(i), bytes, 0)}), 1);
  }
  std::vector<std::string> lines = summary.Lines();
  std::string text = Joined(lines);
  ASSERT_NE(
      text.find("Top 3 of 1000 records by bytes; " + std::to_string(total) + " bytes in all."),
      std::string::npos)
      << text;
  // Title, extent, header, rule, then the rows: ties in order of arrival.
  ASSERT_EQ(lines.size(), 10u) << text;
  EXPECT_NE(lines[7].find("10.0.0.500"), std::string::npos) << text;
  EXPECT_NE(lines[8].find("10.0.0.900"), std::string::npos) << text;
  uint64_t third = 0;
  for (uint64_t i = 0; i < 1000; ++i) {
    if (i != 500 && i != 900) third = std::max(third, (i * 7919) % 4000);
  }
  EXPECT_EQ(lines[9].substr(lines[9].rfind(' ') + 1), std::to_string(third)) << text;
}

TEST(RunSummary, SumsEachRecordAcrossReportsAndRanksByTheChosenCounter) {
  // Three windows: 10.0.0.1 in every one, 10.0.0.2 once with more bytes than its total.
  auto feed = [](RunSummary& summary) {
    for (int window = 0; window < 3; ++window) {
      json rows = {Type1Row("10.0.0.1", 100, 100)};
      if (window == 1) rows.push_back(Type1Row("10.0.0.2", 700, 0));
      rows[0]["packets"] = 10;
      summary.Observe("s", {"c"},
                      {{"log_time_start", 1553160644 + 300 * window},
                       {"log_time_end", 1553160944 + 300 * window},
                       {"stats", rows}},
                      1);
    }
  };
  RunSummary by_bytes;
  feed(by_bytes);
  std::vector<std::string> lines = by_bytes.Lines();
  std::string text = Joined(lines);
  ASSERT_EQ(lines.size(), 9u) << text;
  EXPECT_EQ(lines[1],
            "Summary of sink \"s\", channel \"c\": 3 payloads, 2019-03-21 09:30:44 to "
            "2019-03-21 09:45:44 UTC.");
  EXPECT_EQ(lines[4], "Top 2 of 2 records by bytes; 1300 bytes in all.");
  EXPECT_NE(lines[7].find("10.0.0.2"), std::string::npos) << text;
  std::vector<std::string> first = {
      "02:00:00:00:00:10", "10.0.0.1", "3.youtube", "37", "300", "300", "30", "600"};
  std::istringstream cells(lines[8]);
  for (const std::string& expected : first) {
    std::string cell;
    cells >> cell;
    EXPECT_EQ(cell, expected) << text;
  }
  RunSummary by_packets(1, kdreplay::SummaryOrder::kPackets);
  feed(by_packets);
  lines = by_packets.Lines();
  EXPECT_EQ(lines[4], "Top 1 of 2 records by packets; 1300 bytes in all.");
  EXPECT_NE(lines[7].find("10.0.0.1"), std::string::npos) << Joined(lines);
}

TEST(RunSummary, LeavesOutColumnsNoRecordHasAndShowsOddTextSafely) {
  RunSummary summary;
  json row = Type1Row("10.0.0.1", 1, 1);
  row.erase("local_mac");
  row["application_id"] = "7.bad\x01name" + std::string(60, 'x');
  json empty = Type1Row("", 0, 0);
  empty.erase("local_mac");
  summary.Observe("s", {"c"}, Envelope({row, empty}), 1);
  std::vector<std::string> lines = summary.Lines();
  std::string text = Joined(lines);
  ASSERT_EQ(lines.size(), 9u) << text;
  EXPECT_EQ(lines[5].find("local mac"), std::string::npos) << text;
  EXPECT_EQ(lines[5].rfind("local ip  application", 0), 0u) << text;
  EXPECT_NE(lines[7].find("7.bad?name" + std::string(27, 'x') + "..."), std::string::npos) << text;
  EXPECT_EQ(lines[8].rfind("-  ", 0), 0u) << "an empty address shows as -: " << text;
  for (const std::string& line : lines) {
    for (char c : line) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << text;
  }
}

TEST(RunSummary, NatSessionsAreListedInOrderOfArrival) {
  RunSummary summary(2);
  for (int i = 1; i <= 3; ++i) {
    json session = {{"clientMac", "0200000000" + std::to_string(30 + i)},
                    {"family", "ipv4"},
                    {"state", "NEW"},
                    {"ipv4", {{"srcIp", "192.168.1." + std::to_string(i)}, {"srcPort", i}}}};
    summary.Observe("s", {"c"}, {{"apMac", "020000000001"}, {"flows", {session}}}, 7);
  }
  std::vector<std::string> lines = summary.Lines();
  std::string text = Joined(lines);
  ASSERT_EQ(lines.size(), 9u) << text;
  EXPECT_EQ(lines[3], "Record type 7 (NAT session log per access point)");
  EXPECT_EQ(lines[4], "First 2 of 3 sessions in order of arrival.");
  EXPECT_NE(lines[7].find("192.168.1.1:1"), std::string::npos) << text;
  EXPECT_NE(lines[8].find("192.168.1.2:2"), std::string::npos) << text;
}

TEST(RunSummary, SaysSoWhenNothingOrNothingItKnowsArrived) {
  EXPECT_EQ(RunSummary().Lines(),
            std::vector<std::string>({"", "Summary: no payloads were dispatched."}));
  RunSummary summary;
  summary.Observe("s", {}, {{"something", "else"}}, 1);
  EXPECT_EQ(summary.Lines(), std::vector<std::string>(
                                 {"", "Summary of sink \"s\", channel \"\": 1 payload.",
                                  "1 payload not laid out as this plugin's payloads left out."}));
}

// What the summary counts comes from the router, and only what a sink stored: a payload its
// directory could not take is left out, the next one counted.
TEST(RunSummary, CountsOnlyWhatTheSinkStored) {
  testing_support::TempDir dir;
  const std::string out = dir.File("out");
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((out + "/disk-c-1.json").c_str(), 0755), 0);  // rename cannot replace it
  kdreplay::LineWriter writer(nullptr);
  kdreplay::PayloadRouter router(
      {{"disk", kdreplay::SinkTarget{kdreplay::SinkTarget::Kind::kDirectory, out}}}, writer);
  RunSummary summary;
  router.OnStored([&summary](const std::string& sink, const std::string& channel,
                             const json& payload,
                             uint32_t type) { summary.Observe(sink, {channel}, payload, type); });
  std::string error;
  ASSERT_TRUE(router.Prepare(error)) << error;
  router.Attach([] { return 1u; });
  kdSinkRegistry::Dispatch("disk", {"c"}, Envelope({Type1Row("10.0.0.1", 1, 2)}), 0x01);
  kdSinkRegistry::Dispatch("disk", {"c"}, Envelope({Type1Row("10.0.0.2", 1, 2)}), 0x01);
  router.Detach();
  router.Close();
  EXPECT_EQ(router.failures(), 1u);
  EXPECT_EQ(summary.Lines()[1].rfind("Summary of sink \"disk\", channel \"c\": 1 payload, ", 0), 0u)
      << summary.Lines()[1];
}

TEST(CsvTables, OneTablePerRecordTypeWithEveryMemberQuotedWhereNeeded) {
  kdreplay::CsvTables csv;
  json odd = Type1Row("10.0.0.1", 1, 2);
  odd["application_id"] = "a,\"b\"\nc";
  csv.Add(Envelope({odd}), 1, "run-a", "probe-a");
  json session = {{"clientMac", "020000000031"}, {"state", "NEW"}};
  csv.Add({{"apMac", "020000000001"}, {"flows", {session}}}, 7);
  json later = Type1Row("10.0.0.2", 3, 4);
  later["extra"] = json::array({1, 2});
  csv.Add(Envelope({later}), 1);
  csv.Add({{"stats", {{"02:00:00:00:00:10", {{"10.0.0.1", {{"upload", 1}}}}}}}}, 1);  // nested
  EXPECT_EQ(csv.left_out(), 1u);
  EXPECT_EQ(csv.Lines(),
            std::vector<std::string>(
                {"log_time_start,log_time_end,run_id,probe,application_id,download,local_ip,"
                 "local_mac,packets,protocol_id,upload,extra",
                 "1,2,run-a,probe-a,\"a,\"\"b\"\"\nc\",2,10.0.0.1,02:00:00:00:00:10,5,37,1,",
                 "1,2,,,3.youtube,4,10.0.0.2,02:00:00:00:00:10,5,37,3,\"[1,2]\"", "",
                 "log_time_start,log_time_end,run_id,probe,apMac,clientMac,state",
                 ",,,,020000000001,020000000031,NEW"}));
}

TEST(SummaryOptions, AreFlagsWithoutValues) {
  kdreplay::Options options;
  std::string error;
  const char* good[] = {"korvia-replay", "--summary", "--conf", "c", "--events", "e", "--pretty"};
  ASSERT_TRUE(kdreplay::ParseCommandLine(7, good, options, error)) << error;
  EXPECT_TRUE(options.summary);
  EXPECT_TRUE(options.pretty);
  kdreplay::Options defaults;
  const char* plain[] = {"korvia-replay", "--conf", "c", "--events", "e"};
  ASSERT_TRUE(kdreplay::ParseCommandLine(5, plain, defaults, error)) << error;
  EXPECT_FALSE(defaults.summary);
  EXPECT_FALSE(defaults.pretty);
  const char* bad[] = {"korvia-replay", "--summary=5", "--conf", "c", "--events", "e"};
  EXPECT_FALSE(kdreplay::ParseCommandLine(6, bad, options, error));
}

// The bundled examples/records, run through the real plugin: every record type in both forms
// is recognised, and the table follows the payload lines.
TEST(SummaryProgram, EveryRecordTypeOfTheRealPluginIsTabulated) {
  replay_testing::ReplayHarness h;
  const std::string records = std::string(KORVIA_EXAMPLES_DIR) + "/records/";
  for (int type = 1; type <= 8; ++type) {
    for (bool nested : {false, true}) {
      if (type == 7 && nested) continue;
      std::string conf =
          records + "type" + std::to_string(type) + (nested ? "-nested" : "") + ".conf";
      std::string script = type == 5 ? "stats.jsonl" : type == 7 ? "nat.jsonl" : "flows.jsonl";
      auto result = h.RunWith({"--plugin", KORVIA_PLUGIN_PATH, "--conf", conf, "--events",
                               records + script, "--summary"});
      ASSERT_EQ(result.status, 0) << conf << "\n" << result.err;

      std::vector<std::string> lines = Lines(result.out);
      size_t blank = 0;
      while (blank < lines.size() && !lines[blank].empty()) {
        EXPECT_NO_THROW(json::parse(lines[blank])) << conf << ": " << lines[blank];
        ++blank;
      }
      ASSERT_EQ(blank, 1u) << conf << ": one payload, then the summary\n" << result.out;

      std::vector<std::string> summary = SummaryLines(result.out);
      ASSERT_GE(summary.size(), 7u) << conf << "\n" << result.out;
      EXPECT_EQ(summary[0].rfind("Summary of sink \"demo\", channel \"records\": 1 payload", 0),
                0u);
      std::string title = "Record type " + std::to_string(type);
      EXPECT_EQ(summary[2].rfind(title, 0), 0u) << conf << "\n" << result.out;
      if (type == 7) {
        EXPECT_EQ(summary[3], "First 2 of 2 sessions in order of arrival.") << result.out;
        EXPECT_NE(summary[6].find("CLOSE"), std::string::npos) << result.out;
      } else {
        EXPECT_NE(summary[2].find(nested ? "nested form" : "flat form"), std::string::npos);
        EXPECT_EQ(summary[3], "Top 2 of 2 records by bytes; 82320 bytes in all.") << result.out;
        std::string first = summary[6];
        EXPECT_EQ(first.substr(first.rfind(' ') + 1), type == 5 ? "82320" : "82000") << conf << "\n"
                                                                                     << result.out;
      }
    }
  }
}

// Files read back take their record type from the index their dir sink wrote: a nested type 8
// payload, which looks like type 4's, is shown as type 8; a file away from its index is not
// guessed at.
TEST(SummaryProgram, ReadBackTakesTheTypeFromTheIndex) {
  replay_testing::ReplayHarness h;
  const std::string records = std::string(KORVIA_EXAMPLES_DIR) + "/records/";
  const std::string out = h.dir().File("out");
  auto run = h.RunWith({"--plugin", KORVIA_PLUGIN_PATH, "--conf", records + "type8-nested.conf",
                        "--events", records + "flows.jsonl", "--sink", "demo=dir:" + out});
  ASSERT_EQ(run.status, 0) << run.err;
  auto read = h.RunWith({"--read", out});
  ASSERT_EQ(read.status, 0) << read.err;
  std::vector<std::string> summary = Lines(read.out);
  ASSERT_GE(summary.size(), 3u) << read.out;
  EXPECT_EQ(summary[2].rfind("Record type 8 (", 0), 0u) << read.out;

  ASSERT_EQ(rename((out + "/.korvia-payloads.jsonl").c_str(), (out + "/moved").c_str()), 0);
  read = h.RunWith({"--read", out});
  EXPECT_NE(read.out.find("1 payload not laid out as this plugin's payloads left out."),
            std::string::npos)
      << read.out;
}

TEST(SummaryProgram, PrettyPrintsTheSamePayloadsIndented) {
  replay_testing::ReplayHarness h;
  const std::string example = std::string(KORVIA_EXAMPLES_DIR) + "/type1-nested/";
  std::vector<std::string> arguments = {"--plugin", KORVIA_PLUGIN_PATH,
                                        "--conf",   example + "conf.json",
                                        "--events", example + "events.jsonl"};
  auto compact = h.RunWith(arguments);
  arguments.push_back("--pretty");
  auto pretty = h.RunWith(arguments);
  ASSERT_EQ(compact.status, 0) << compact.err;
  ASSERT_EQ(pretty.status, 0) << pretty.err;

  // The same values in the same order; status lines stay one line each.
  std::vector<json> expected = compact.Lines();
  std::vector<json> values;
  std::istringstream in(pretty.out);
  while (in >> std::ws, !in.eof()) {
    json value;
    in >> value;
    values.push_back(value);
  }
  ASSERT_EQ(values.size(), expected.size()) << pretty.out;
  for (size_t i = 0; i < values.size(); ++i) {
    // The reporting window differs between the two runs.
    for (json* value : {&values[i], &expected[i]}) {
      if (value->contains("payload")) {
        (*value)["payload"].erase("log_time_start");
        (*value)["payload"].erase("log_time_end");
      }
    }
    EXPECT_EQ(values[i], expected[i]);
  }
  std::vector<std::string> lines = Lines(pretty.out);
  ASSERT_GT(lines.size(), 10u) << pretty.out;
  EXPECT_EQ(lines[0], R"({"status":{"aggregator":1,"samples":0}})");
  EXPECT_EQ(lines[1], R"({"status":{"aggregator":1,"samples":3}})");
  EXPECT_EQ(lines[2], "{");
  EXPECT_EQ(lines[3], "  \"channel\": \"tree\",") << pretty.out;
  EXPECT_EQ(lines.back(), "}");
}

}  // namespace
