// The sqlite: sink target: the real plugin's payloads of every record type, read back with SQL
// and compared row for row with the same run's standard output; appending to an earlier
// database, and refusing a table that is not ours.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>

#include "replay/replay_harness.h"
#include "replay_record_tables.h"
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
  return ReadTable(db, kdreplay::TableOfType(type).name);
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

}  // namespace
