// The sqlite: sink target: the real plugin's payloads of every record type, read back with SQL
// and compared row for row with the same run's standard output; appending to an earlier
// database, and refusing a table that is not ours; the run identity that keeps a second replay of
// one input from being counted twice.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <set>

#include "replay/replay_harness.h"
#include "replay_record_tables.h"
#include "replay_run_identity.h"
#include "replay_sqlite_sink.h"

namespace {

using nlohmann::json;

// Every row of table as a JSON object of its non-null columns.
std::vector<json> ReadTable(const std::string& path, const std::string& table) {
  sqlite3* db = nullptr;
  sqlite3_stmt* select = nullptr;
  std::vector<json> rows;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::string sql = "SELECT * FROM " + table + " ORDER BY rowid";
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &select, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  while (select != nullptr && sqlite3_step(select) == SQLITE_ROW) {
    json row = json::object();
    for (int c = 0; c < sqlite3_column_count(select); ++c) {
      const char* name = sqlite3_column_name(select, c);
      if (sqlite3_column_type(select, c) == SQLITE_INTEGER)
        row[name] = sqlite3_column_int64(select, c);
      if (sqlite3_column_type(select, c) == SQLITE_TEXT)
        row[name] = reinterpret_cast<const char*>(sqlite3_column_text(select, c));
    }
    rows.push_back(row);
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  return rows;
}

// The rows a stdout dispatch line holds, in the database's terms: booleans as 0 and 1, lists as
// JSON text, a NAT session's family object spread into its row.
std::vector<json> ExpectedRows(const json& line) {
  const json& payload = line["payload"];
  json context = {{"sink", "demo"}, {"channel", line["channel"]}};
  std::vector<json> records;
  if (payload.contains("apMac")) {
    for (json flow : payload["flows"]) {
      json family = flow[flow["family"].get<std::string>()];
      flow.erase(flow["family"].get<std::string>());
      flow.update(family);
      flow["apMac"] = payload["apMac"];
      records.push_back(flow);
    }
  } else {
    context["log_time_start"] = payload["log_time_start"];
    context["log_time_end"] = payload["log_time_end"];
    records = payload["stats"].get<std::vector<json>>();
  }
  for (json& record : records) {
    for (auto& member : record.items()) {
      if (member.value().is_boolean()) member.value() = member.value().get<bool>() ? 1 : 0;
      if (member.value().is_array()) member.value() = member.value().dump();
    }
    record.update(context);
  }
  return records;
}

// Runs a bundled record example with sink "demo" into a database and a second sink "copy" of
// the same channel on standard output.
std::vector<json> RunExample(replay_testing::ReplayHarness& h, int type, bool nested, bool privacy,
                             const std::string& db, std::vector<json>& copy) {
  const std::string records = std::string(KORVIA_EXAMPLES_DIR) + "/records/";
  std::ifstream in(records + "type" + std::to_string(type) + (nested ? "-nested" : "") + ".conf");
  json conf = json::parse(in, nullptr, true, true);
  conf["sinks"]["copy"] = conf["sinks"]["demo"];
  conf["privacy_mode"] = privacy;
  h.SetConf(conf);
  std::string script = type == 5 ? "stats.jsonl" : type == 7 ? "nat.jsonl" : "flows.jsonl";
  auto result = h.RunWith({"--plugin", KORVIA_PLUGIN_PATH, "--conf", h.conf_path(), "--events",
                           records + script, "--sink", "demo=sqlite:" + db});
  EXPECT_EQ(result.status, 0) << result.err;
  copy = result.Dispatches();
  // Every row names the run, which the runs table lists with its input.
  std::vector<json> rows = ReadTable(db, kdreplay::TableOfType(type).name);
  const std::vector<json> runs = ReadTable(db, "runs");
  EXPECT_EQ(runs.size(), 1u);
  for (json& row : rows) {
    EXPECT_EQ(row["run_id"], runs.at(0)["run_id"]);
    EXPECT_EQ(row["probe"], kdreplay::HostName());
    row.erase("run_id");
    row.erase("probe");
  }
  return rows;
}

TEST(SqliteSink, HoldsTheRowsOfEveryRecordTypeFlatAndNested) {
  replay_testing::ReplayHarness h;
  for (int type = 1; type <= 8; ++type) {
    for (bool privacy : {false, true}) {
      std::vector<json> copy;
      std::string db = h.dir().File("flat" + std::to_string(type) + std::to_string(privacy));
      std::vector<json> rows = RunExample(h, type, false, privacy, db, copy);
      std::vector<json> flat;
      for (const json& line : copy) {
        EXPECT_EQ(line["sink"], "copy");
        for (json& row : ExpectedRows(line)) flat.push_back(row);
      }
      EXPECT_EQ(rows, flat) << type;
      ASSERT_FALSE(flat.empty()) << type;
      if (type == 7) continue;

      // A nested record, with the levels above it, gives the flat row less what the nested
      // form leaves out: compared without the window, which differs from run to run.
      std::string nested_db =
          h.dir().File("nested" + std::to_string(type) + std::to_string(privacy));
      std::vector<json> nested = RunExample(h, type, true, privacy, nested_db, copy);
      ASSERT_EQ(nested.size(), flat.size()) << type;
      for (json& row : nested) {
        EXPECT_EQ(row["log_time_start"], copy.at(0)["payload"]["log_time_start"]);
        for (const char* level : kdreplay::TableOfType(type).nested_levels)
          EXPECT_TRUE(row.contains(level) || (privacy && std::string(level).find("local_") == 0))
              << type << " " << level << " " << row;
        row.erase("log_time_start");
        row.erase("log_time_end");
        bool found = false;
        for (const json& whole : flat) {
          json merged = whole;
          merged.update(row);
          found = found || merged == whole;
        }
        EXPECT_TRUE(found) << type << ": " << row;
      }
    }
  }
}

TEST(SqliteSink, AppendsToAnEarlierDatabaseAndRefusesATableNotItsOwn) {
  testing_support::TempDir dir;
  std::string db = dir.File("flows.db"), error;
  const json payload = json::parse(R"({"log_time_start": 5, "stats": [{"upload": 1}]})");
  for (size_t run = 1; run <= 2; ++run) {
    kdreplay::SqliteSink sink(db);
    ASSERT_TRUE(sink.Open(error)) << error;
    EXPECT_TRUE(sink.Write("s", "c", payload, 1, 1));
    // A payload that is not laid out as its type's, or of no type, leaves nothing behind.
    EXPECT_FALSE(sink.Write("s", "c", {{"rows", {{{"upload", 1}}}}}, 1, 1));
    EXPECT_FALSE(sink.Write("s", "c", payload, 1, 0));
    EXPECT_EQ(sink.Close(), 0u);
    EXPECT_EQ(ReadTable(db, "type1_host_apps").size(), run);
  }
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
  sqlite3_exec(raw, "DROP TABLE type2_host_pairs; CREATE TABLE type2_host_pairs (x)", nullptr,
               nullptr, nullptr);
  sqlite3_close(raw);
  kdreplay::SqliteSink sink(db);
  EXPECT_FALSE(sink.Open(error));
  EXPECT_NE(error.find("table type2_host_pairs has other columns"), std::string::npos) << error;
  EXPECT_EQ(ReadTable(db, "type1_host_apps").size(), 2u);
}

// Runs of one script into a dir: and an sqlite: sink: the second is refused before anything is
// stored, --append stores it again, and every result names its run.
TEST(RunIdentity, ASecondReplayOfOneInputIsRefusedUnlessAppended) {
  replay_testing::ReplayHarness h;
  std::ifstream in(std::string(KORVIA_EXAMPLES_DIR) + "/records/type1.conf");
  h.SetConf(json::parse(in, nullptr, true, true));
  h.SetScript(replay_testing::ReadFile(std::string(KORVIA_EXAMPLES_DIR) + "/records/flows.jsonl"));
  const std::string db = h.dir().File("flows.db");
  const std::string files = h.dir().File("files");
  for (const std::string& target : {"sqlite:" + db, "dir:" + files}) {
    auto run = [&](std::vector<std::string> extra) {
      std::vector<std::string> arguments = {"--sink", "demo=" + target, "--probe", "edge-1"};
      arguments.insert(arguments.end(), extra.begin(), extra.end());
      return h.Run(arguments);
    };
    ASSERT_EQ(run({}).status, 0) << target;
    // A copy under another name is the same input.
    const std::string copy = h.dir().File("copy.jsonl");
    h.dir().Write("copy.jsonl", replay_testing::ReadFile(h.script_path()));
    for (const std::string& script : {h.script_path(), copy}) {
      auto refused = h.RunWith({"--plugin", KORVIA_PLUGIN_PATH, "--conf", h.conf_path(), "--events",
                                script, "--sink", "demo=" + target});
      EXPECT_EQ(refused.status, 6) << target;
      EXPECT_NE(refused.err.find("holds the results of " + script + " already (run "),
                std::string::npos)
          << refused.err;
      EXPECT_EQ(refused.out, "");
    }
    ASSERT_EQ(run({"--append"}).status, 0) << target;
  }

  // Both runs are listed, with their rows beside them in the view; the windows are indexed.
  const std::vector<json> runs = ReadTable(db, "runs");
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_LT(runs[0]["run_id"].get<std::string>(), runs[1]["run_id"].get<std::string>());
  EXPECT_EQ(runs[1]["probe"], "edge-1");
  const std::vector<json> joined = ReadTable(db, "type1_host_apps_runs");
  ASSERT_EQ(joined.size(), 4u);
  EXPECT_EQ(joined[0]["run_id"], runs[0]["run_id"]);
  EXPECT_EQ(joined[3]["run_id"], runs[1]["run_id"]);
  EXPECT_TRUE(joined[3].contains("run_started"));
  EXPECT_EQ(ReadTable(db, "sqlite_master WHERE name = 'type1_host_apps_log_time'").size(), 1u);

  // Reading the directory back says that two runs are added up; the CSV tells them apart.
  auto summary = h.RunWith({"--read", files});
  EXPECT_EQ(summary.status, 0);
  EXPECT_NE(summary.err.find("come from 2 runs"), std::string::npos) << summary.err;
  auto csv = h.RunWith({"--read", files, "--csv"});
  std::set<std::string> csv_runs;  // the run_id cells in front of the probe's
  for (size_t at = csv.out.find(",edge-1,"); at != std::string::npos;
       at = csv.out.find(",edge-1,", at + 1))
    csv_runs.insert(csv.out.substr(at - 36, 36));
  EXPECT_EQ(csv_runs.size(), 2u) << csv.out;
}

// A database from before runs had identities gains the columns; its rows keep none. A run that
// stored nothing leaves no registration behind.
TEST(RunIdentity, OlderTablesGainTheColumnsAndEmptyRunsLeaveNoTrace) {
  testing_support::TempDir dir;
  const std::string db = dir.File("old.db");
  std::string error;
  const json payload = json::parse(R"({"log_time_start": 5, "stats": [{"upload": 1}]})");
  {
    kdreplay::SqliteSink sink(db);
    ASSERT_TRUE(sink.Open(error)) << error;
    ASSERT_TRUE(sink.Write("s", "c", payload, 1, 1));
    sink.Close();
  }
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw,
                         "DROP VIEW type1_host_apps_runs; "
                         "ALTER TABLE type1_host_apps DROP COLUMN probe; "
                         "ALTER TABLE type1_host_apps DROP COLUMN run_id",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);

  kdreplay::RunIdentity run;
  ASSERT_TRUE(kdreplay::MakeRunIdentity({db}, "p", false, run, error)) << error;
  for (bool store : {false, true}) {
    kdreplay::SqliteSink sink(db, run);
    ASSERT_TRUE(sink.Open(error)) << error;
    if (store) {
      EXPECT_TRUE(sink.Write("s", "c", payload, 1, 1));
    }
    sink.Close();
    EXPECT_EQ(ReadTable(db, "runs").size(), store ? 1u : 0u);
  }
  const std::vector<json> rows = ReadTable(db, "type1_host_apps");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_FALSE(rows[0].contains("run_id"));
  EXPECT_EQ(rows[1]["run_id"], run.id);
  kdreplay::SqliteSink again(db, run);
  EXPECT_FALSE(again.Open(error));
}

}  // namespace
