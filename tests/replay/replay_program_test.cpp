// korvia-replay run end to end on event scripts, with the real plugin unless a test needs a
// plugin that misbehaves.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>

#include "replay_harness.h"

namespace {

using nlohmann::json;
using replay_testing::ConfWithChannel;
using replay_testing::LocalFlow;
using replay_testing::ReplayHarness;
using replay_testing::ReplayResult;

std::set<std::string> Entries(const std::string& path) {
  std::set<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  closedir(dir);
  return names;
}

TEST(ReplayProgram, FlowsAreAggregatedAndPrintedAtTheEnd) {
  ReplayHarness h;
  h.SetConf(ConfWithChannel());
  h.SetScript({{{"event", "flows"},
                {"buckets", 3},
                {"flows",
                 {LocalFlow("10.0.0.1", 100, 1000), LocalFlow("10.0.0.2", 5, 7),
                  LocalFlow("10.0.0.1", 1, 2)}}}});
  ReplayResult result = h.Run();
  ASSERT_EQ(result.status, 0) << result.err;
  auto dispatches = result.Dispatches();
  ASSERT_EQ(dispatches.size(), 1u) << result.out;
  EXPECT_EQ(dispatches[0]["sink"], "sink");
  EXPECT_EQ(dispatches[0]["channel"], "ch");
  EXPECT_EQ(dispatches[0]["flags"], 1);
  const json& stats = dispatches[0]["payload"]["stats"];
  ASSERT_EQ(stats.size(), 2u);
  for (const json& row : stats) {
    if (row["local_ip"] == "10.0.0.1") {
      EXPECT_EQ(row["upload"], 101);
      EXPECT_EQ(row["download"], 1002);
      EXPECT_EQ(row["packets"], 14);
    } else {
      EXPECT_EQ(row["local_ip"], "10.0.0.2");
      EXPECT_EQ(row["upload"], 5);
    }
  }
}

TEST(ReplayProgram, StatusLinesFollowTheScript) {
  ReplayHarness h;
  h.SetConf(ConfWithChannel());
  h.SetScript({{{"event", "status"}},
               {{"event", "flows"}, {"flows", {LocalFlow("10.0.0.1", 1, 1)}}},
               {{"event", "status"}}});
  ReplayResult result = h.Run();
  ASSERT_EQ(result.status, 0) << result.err;
  auto lines = result.Lines();
  ASSERT_EQ(lines.size(), 3u) << result.out;
  EXPECT_EQ(lines[0], json::parse(R"({"status": {"aggregator": 1, "samples": 0}})"));
  EXPECT_EQ(lines[1], json::parse(R"({"status": {"aggregator": 1, "samples": 1}})"));
  EXPECT_TRUE(lines[2].contains("payload"));
}

TEST(ReplayProgram, ReloadWithConfChangesTheRecordType) {
  ReplayHarness h;
  h.SetConf(ConfWithChannel());
  h.SetScript(
      {{{"event", "flows"}, {"flows", {LocalFlow("10.0.0.1", 1, 1)}}},
       {{"event", "reload"}, {"conf", ConfWithChannel({{"aggregator", 2}})}},
       {{"event", "status"}},
       {{"event", "flows"}, {"flows", {LocalFlow("10.0.0.1", 1, 1)}}},
       {{"event", "reload"},
        {"conf_text", "// comment\n{\"aggregator\": 3, \"sinks\": {\"sink\": {\"ch\": {}}}}"}},
       {{"event", "status"}}});
  ReplayResult result = h.Run();
  ASSERT_EQ(result.status, 0) << result.err;
  auto statuses = result.Statuses();
  ASSERT_EQ(statuses.size(), 2u) << result.out;
  // Each status is taken right after its reload: the reload has been waited for.
  EXPECT_EQ(statuses[0]["aggregator"], 2);
  EXPECT_EQ(statuses[0]["samples"], 0);  // the type 1 sample was discarded
  EXPECT_EQ(statuses[1]["aggregator"], 3);
  EXPECT_EQ(json::parse(replay_testing::ReadFile(h.conf_path()), nullptr, true, true)["aggregator"],
            3);
}

TEST(ReplayProgram, BadLineIsReportedWithItsNumberAndNothingIsDispatched) {
  ReplayHarness h;
  h.SetConf(ConfWithChannel());
  json good = {{"event", "flows"}, {"flows", {LocalFlow("10.0.0.1", 1, 1)}}};
  json bad = good;
  bad["flows"][0]["prot_a"] = 1;
  h.SetScript("# first a comment\n\n" + good.dump() + "\n{\"event\": \"status\"}\n" + bad.dump() +
              "\n" + good.dump() + "\n");
  ReplayResult result = h.Run();
  EXPECT_EQ(result.status, 6);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find(h.script_path() + ":5:"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("flows[0].prot_a"), std::string::npos) << result.err;
  // The plugin was never started.
  EXPECT_EQ(result.err.find("Korvia Flow Aggregator"), std::string::npos) << result.err;
}

TEST(ReplayProgram, HostileLinesAreRefusedCleanly) {
  ReplayHarness h;
  h.SetScript("{\"event\": \"status\"}\n" + std::string(100000, '[') + "\n");
  ReplayResult result = h.Run();
  EXPECT_EQ(result.status, 6);
  EXPECT_NE(result.err.find(":2: JSON nested deeper than 128 levels"), std::string::npos)
      << result.err;
  EXPECT_EQ(result.out, "");
}

TEST(ReplayProgram, EverySinkEncodingRoundTrips) {
  ReplayHarness h;
  json channels = {{"json", {{"format", "json"}}},
                   {"json_gz", {{"format", "json"}, {"compressor", "gz"}}},
                   {"object", {{"format", "object"}}},
                   {"object_gz", {{"format", "object"}, {"compressor", "gz"}}},
                   {"msgpack", {{"format", "msgpack"}}},
                   {"msgpack_gz", {{"format", "msgpack"}, {"compressor", "gz"}}}};
  h.SetConf({{"sinks", {{"files", channels}, {"sink", {{"ch", json::object()}}}}}});
  h.SetScript({{{"event", "flows"},
                {"flows", {LocalFlow("10.0.0.1", 1, 2), LocalFlow("10.0.0.9", 3, 4)}}}});
  std::string out = h.dir().File("out/payloads");
  ReplayResult result = h.Run({"--sink", "files=dir:" + out});
  ASSERT_EQ(result.status, 0) << result.err;

  auto dispatches = result.Dispatches();
  ASSERT_EQ(dispatches.size(), 1u) << result.out;  // only the stdout sink
  const json expected = dispatches[0]["payload"];
  ASSERT_EQ(expected["stats"].size(), 2u);

  EXPECT_EQ(Entries(out),
            (std::set<std::string>{".korvia-payloads.jsonl", ".korvia-runs.jsonl",
                                   "files-json-1.json", "files-json_gz-1.json.gz",
                                   "files-object-1.json", "files-object_gz-1.json.gz",
                                   "files-msgpack-1.msgpack", "files-msgpack_gz-1.msgpack.gz"}));
  auto read = [&](const std::string& name) { return replay_testing::ReadFile(out + "/" + name); };
  EXPECT_EQ(json::parse(read("files-json-1.json")), expected);
  EXPECT_EQ(json::parse(read("files-object-1.json")), expected);
  EXPECT_EQ(json::parse(replay_testing::Gunzip(read("files-json_gz-1.json.gz"))), expected);
  EXPECT_EQ(json::parse(replay_testing::Gunzip(read("files-object_gz-1.json.gz"))), expected);
  EXPECT_EQ(json::from_msgpack(read("files-msgpack-1.msgpack")), expected);
  EXPECT_EQ(json::from_msgpack(replay_testing::Gunzip(read("files-msgpack_gz-1.msgpack.gz"))),
            expected);
}

TEST(ReplayProgram, FileNamesNeverLeaveTheSinkDirectory) {
  ReplayHarness h;
  // Channel names that would climb out, hold a control character, or collide once made safe.
  json channels = {{"../../escape", json::object()},
                   {"a/b", json::object()},
                   {"a_b", json::object()},
                   {"x\ny", json::object()}};
  h.SetConf({{"sinks", {{"../up", channels}}}});
  h.SetScript({{{"event", "flows"}, {"flows", {LocalFlow("10.0.0.1", 1, 2)}}}});
  std::string out = h.dir().File("deep/out");
  ReplayResult result = h.Run({"--sink", "../up=dir:" + out});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  // "a/b" and "a_b" share a name, so they share the numbering instead of overwriting.
  EXPECT_EQ(Entries(out), (std::set<std::string>{".korvia-payloads.jsonl", ".korvia-runs.jsonl",
                                                 ".._up-.._.._escape-1.json", ".._up-a_b-1.json",
                                                 ".._up-a_b-2.json", ".._up-x_y-1.json"}));
  EXPECT_EQ(Entries(h.dir().File("deep")), (std::set<std::string>{"out"}));
}

TEST(ReplayProgram, OutputFailuresStopTheRunWithTheirCause) {
  ReplayHarness h;
  h.SetConf({{"sinks", {{"s", {{"blocked", json::object()}, {"open", json::object()}}}}}});
  h.SetScript({{{"event", "flows"}, {"flows", {LocalFlow("10.0.0.1", 1, 2)}}}});
  std::string out = h.dir().File("out");
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((out + "/s-blocked-1.json").c_str(), 0755), 0);  // rename cannot replace it
  ReplayResult result = h.Run({"--sink", "s=dir:" + out});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("\"blocked\": payload not written"), std::string::npos) << result.err;
  EXPECT_EQ(Entries(out), (std::set<std::string>{".korvia-payloads.jsonl", ".korvia-runs.jsonl",
                                                 "s-blocked-1.json", "s-open-1.json"}));

  // A full standard output: one message naming the cause, however many lines were to follow.
  h.SetScript(std::vector<json>(20, {{"event", "status"}}));
  result = h.RunWith(
      {"--plugin", KORVIA_PLUGIN_PATH, "--conf", h.conf_path(), "--events", h.script_path()}, "",
      "/dev/full");
  EXPECT_EQ(result.status, 1);
  size_t first = result.err.find("No space left on device; stopping the run");
  ASSERT_NE(first, std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("No space left", first + 1), std::string::npos) << result.err;
}

// Runs korvia-replay with arguments, its standard output a pipe nobody reads any more (as after
// "| head -1" has its line), its standard error to err_path. Returns the raw wait status.
int RunIntoClosedPipe(const std::vector<std::string>& arguments, const std::string& err_path) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  close(fds[0]);
  pid_t child = fork();
  if (child == 0) {
    dup2(fds[1], STDOUT_FILENO);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, STDERR_FILENO);
    std::vector<char*> argv;
    std::string program = KORVIA_REPLAY_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = arguments;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// Every result written to standard output: a full disk is one message naming what could not be
// written, a closed pipe ends the run without a word; both exit 1, never by SIGPIPE.
TEST(ReplayProgram, ResultsThatCannotBeWrittenAreOneMessageOrNone) {
  ReplayHarness h;
  h.SetConf({{"sinks", {{"s", {{"c", json::object()}}}}}});
  h.SetScript({{{"event", "flows"}, {"flows", {LocalFlow("10.0.0.1", 1, 2)}}}});
  const std::string files = h.dir().File("files");
  ASSERT_EQ(h.Run({"--sink", "s=dir:" + files}).status, 0);
  const std::vector<std::string> run = {"--plugin",    KORVIA_PLUGIN_PATH, "--conf",
                                        h.conf_path(), "--events",         h.script_path()};
  struct Case {
    std::vector<std::string> extra;
    bool read_back;
    const char* what;
  };
  const Case cases[] = {
      {{"--csv"}, false, "the CSV rows"},
      {{"--summary", "--append", "--sink", "s=dir:" + files}, false, "the summary"},
      {{"--read", files}, true, "the summary"},
      {{"--read", files, "--csv"}, true, "the CSV rows"}};
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.read_back ? c.extra : run;
    if (!c.read_back) arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    ReplayResult full = h.RunWith(arguments, "", "/dev/full");
    EXPECT_EQ(full.status, 1) << c.extra[0];
    const std::string message =
        std::string("cannot write ") + c.what + " to standard output: No space left on device";
    size_t first = full.err.find(message);
    ASSERT_NE(first, std::string::npos) << full.err;
    EXPECT_EQ(full.err.find("cannot write", first + 1), std::string::npos) << full.err;

    const std::string err_path = h.dir().File("pipe-err.txt");
    int status = RunIntoClosedPipe(arguments, err_path);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1) << c.extra[0];
    const std::string err = replay_testing::ReadFile(err_path);
    EXPECT_EQ(err.find("cannot write"), std::string::npos) << err;
    EXPECT_EQ(err.find("Broken pipe"), std::string::npos) << err;
  }
}

TEST(ReplayProgram, ConfigurationMistakesAreCaughtBeforeTheRun) {
  ReplayHarness h;
  h.SetScript({{{"event", "flows"}, {"flows", {LocalFlow("10.0.0.1", 1, 2)}}}});
  for (const char* bad :
       {"{ not json", R"({"format": "csv"})", R"({"criteria": ["no_such_field == 1"]})"}) {
    h.dir().Write("conf.json", bad);
    ReplayResult result = h.Run();
    EXPECT_EQ(result.status, 6) << bad;
    EXPECT_NE(result.err.find(h.conf_path() + ": the plugin cannot load this configuration"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out, "");
  }

  // Keys and a record type the plugin would ignore, and sinks it does not have: warned about,
  // the run goes on.
  h.SetConf({{"aggregatr", 2},
             {"aggregator", 9},
             {"log_intervall", 5},
             {"wholly_unlike", 1},
             {"log_interval", "60"},
             {"privacy_mode", "yes"},
             {"criteria", {"ip_protocol == 6", 5}},
             {"sinks", {{"sink", {{"ch", {{"formt", "json"}, {"enable", "no"}}}}}}}});
  std::string ghost = h.dir().File("ghost");
  ReplayResult result = h.Run({"--sink", "sink=stdout", "--sink", "ghost=dir:" + ghost});
  EXPECT_EQ(result.status, 0) << result.err;
  for (const std::string& warning :
       {h.conf_path() + ": unknown key \"aggregatr\" (did you mean \"aggregator\"?)",
        h.conf_path() + ": unknown key \"log_intervall\" (did you mean \"log_interval\"?)",
        h.conf_path() + ": unknown key \"wholly_unlike\"\n",
        h.conf_path() +
            ": \"aggregator\": 9 is not a record type from 1 to 8; the plugin keeps its type",
        h.conf_path() + ": sinks.sink.ch: unknown key \"formt\" (did you mean \"format\"?)",
        h.conf_path() + ": \"log_interval\": \"60\" is not a number; the plugin keeps its value",
        h.conf_path() +
            ": \"privacy_mode\": \"yes\" is not true or false; the plugin takes it as false",
        h.conf_path() +
            ": \"criteria\": [\"ip_protocol == 6\",5] is not a list of texts; the plugin keeps "
            "its criteria",
        h.conf_path() +
            ": sinks.sink.ch: \"enable\": \"no\" is not true or false; the plugin enables the "
            "channel",
        "--sink ghost: " + h.conf_path() + " configures no sink of that name"}) {
    EXPECT_NE(result.err.find(warning), std::string::npos) << warning << "\n" << result.err;
  }
  EXPECT_EQ(result.err.find("--sink sink:"), std::string::npos) << result.err;
  EXPECT_NE(access(ghost.c_str(), F_OK), 0);  // no directory for a sink that never writes
  EXPECT_EQ(result.Dispatches().size(), 1u);
}

TEST(ReplayProgram, StatisticsEventsReachThePlugin) {
  ReplayHarness h;
  h.SetConf(ConfWithChannel({{"aggregator", 5}}));
  h.SetScript({{{"event", "stats"},
                {"iface", "wan0"},
                {"stats", {{"raw", 7}, {"largest_bytes", 1500}, {"ip4", 3}}}},
               {{"event", "stats"}, {"iface", "wan0"}, {"stats", {{"raw", 1}}}}});
  ReplayResult result = h.Run();
  ASSERT_EQ(result.status, 0) << result.err;
  auto dispatches = result.Dispatches();
  ASSERT_EQ(dispatches.size(), 1u) << result.out;
  const json& row = dispatches[0]["payload"]["stats"][0];
  EXPECT_EQ(row["ifname"], "wan0");
  EXPECT_EQ(row["raw"], 8);
  EXPECT_EQ(row["largest_bytes"], 1500);
}

TEST(ReplayProgram, LinkTableReachesThePlugin) {
  ReplayHarness h;
  h.SetConf(ConfWithChannel({{"aggregator", 7}}));
  json flow = {{"iface", {{"name", "wlan0"}, {"index", 41}, {"capture_type", 2}}},
               {"origin", 1},
               {"mac_a", "02:00:00:00:00:0a"},
               {"addr_a", "10.0.0.1"},
               {"port_a", 40000},
               {"addr_b", "192.0.2.7"},
               {"port_b", 443},
               {"nat_addr", "198.51.100.1"},
               {"nat_port", 1024},
               {"flow_digest", 77},
               {"first_seen_ms", 1999}};
  json other = flow;
  other["iface"]["index"] = 42;
  h.SetScript({{{"event", "link"}, {"index", 41}, {"mac", "aa:bb:cc:dd:ee:01"}},
               {{"event", "link"}, {"index", 42}, {"mac", "aa:bb:cc:dd:ee:02"}},
               {{"event", "link"}, {"index", 42}, {"mac", nullptr}},
               {{"event", "flow"}, {"flow", flow}},
               {{"event", "flow"}, {"flow", other}, {"value", 8}}});
  ReplayResult result = h.Run();
  ASSERT_EQ(result.status, 0) << result.err;
  std::set<std::string> access_points;
  for (const json& dispatch : result.Dispatches())
    access_points.insert(dispatch["payload"]["apMac"].get<std::string>());
  // Index 42 was removed again (and no system interface has that index).
  EXPECT_EQ(access_points, (std::set<std::string>{"AABBCCDDEE01", "000000000000"}));
}

TEST(ReplayProgram, ScriptFromStandardInputAndThePluginFoundBesideTheProgram) {
  ReplayHarness h;
  h.SetConf(ConfWithChannel());
  ReplayResult result = h.RunWith({"--conf", h.conf_path(), "--events", "-"},
                                  "{\"event\": \"status\"}\n{\"event\": \"sleep\", \"ms\": 1}\n");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.Statuses().size(), 1u);
}

TEST(ReplayProgram, UsageErrorsExitWithTwo) {
  ReplayHarness h;
  // The cases themselves are covered by the command line's own tests.
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--events", h.script_path()},
           {"--conf", h.conf_path(), "--events", h.script_path(), "--bogus"}}) {
    ReplayResult result = h.RunWith(arguments);
    EXPECT_EQ(result.status, 2) << arguments.back();
    EXPECT_NE(result.err.find("korvia-replay: "), std::string::npos);
    EXPECT_EQ(result.out, "");
  }
  ReplayResult help = h.RunWith({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--events SCRIPT"), std::string::npos);
  ReplayResult version = h.RunWith({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "korvia-replay 1.2.8\n");
}

// What a restart would only repeat has a status of its own (6), apart from failures while running
// (1), so that a service manager restarts only after those.
TEST(ReplayProgram, FailuresBeforeTheRunExitWithSix) {
  ReplayHarness h;
  h.SetConf(ConfWithChannel());
  h.SetScript({{{"event", "status"}}});
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  std::string missing = h.dir().File("missing.json");
  for (const Case& c : std::vector<Case>{
           {{"--plugin", KORVIA_PLUGIN_PATH, "--conf", missing, "--events", h.script_path()},
            missing + ": No such file or directory"},
           {{"--plugin", KORVIA_PLUGIN_PATH, "--conf", h.conf_path(), "--events", missing},
            missing + ": No such file or directory"},
           {{"--plugin", missing, "--conf", h.conf_path(), "--events", h.script_path()},
            missing + ": cannot load plugin"},
           {{"--plugin", KORVIA_BAD_MAGIC_PLUGIN_PATH, "--conf", h.conf_path(), "--events",
             h.script_path()},
            "plugin refused"},
           {{"--plugin", KORVIA_NULL_FACTORY_PLUGIN_PATH, "--conf", h.conf_path(), "--events",
             h.script_path()},
            "factory returned no plugin"},
           {{"--plugin", KORVIA_PLUGIN_PATH, "--conf", h.conf_path(), "--events", h.script_path(),
             "--sink", "sink=dir:" + h.conf_path() + "/payloads"},
            "cannot create directory"}}) {
    ReplayResult result = h.RunWith(c.arguments);
    EXPECT_EQ(result.status, 6) << c.message;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

TEST(ReplayProgram, PluginExceptionsAreReportedAndTheRunGoesOn) {
  ReplayHarness h;
  h.SetScript({{{"event", "flows"}, {"flows", json::array()}},
               {{"event", "status"}},
               {{"event", "stats"}, {"iface", "eth0"}}});
  ReplayResult result = h.Run({"--tag", "thrower"}, KORVIA_THROWING_PLUGIN_PATH);
  EXPECT_EQ(result.status, 3);
  EXPECT_NE(result.err.find(h.script_path() +
                            ":1: the plugin raised an exception: thrower: flow map refused"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find(":3: the plugin raised an exception: statistics refused"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.Statuses(), std::vector<json>{json::parse(R"({"throwing": true})")});
}

TEST(ReplayProgram, FailedReloadCountsAsAPluginError) {
  ReplayHarness h;
  h.SetConf(ConfWithChannel({{"aggregator", 4}}));
  h.SetScript({{{"event", "reload"}, {"conf_text", "{ not json"}}, {{"event", "status"}}});
  ReplayResult result = h.Run();
  EXPECT_EQ(result.status, 3);
  EXPECT_NE(result.err.find("configuration reload failed"), std::string::npos) << result.err;
  ASSERT_EQ(result.Statuses().size(), 1u);
  EXPECT_EQ(result.Statuses()[0]["aggregator"], 4);  // the failed file changed nothing
}

TEST(ReplayProgram, DebugShowsThePluginsDebugLines) {
  ReplayHarness h;
  h.SetScript(std::vector<json>{});
  EXPECT_EQ(h.Run().err.find("Using aggregator #1"), std::string::npos);
  ReplayResult result = h.Run({"--debug"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.err.find("aggregator: Using aggregator #1"), std::string::npos) << result.err;
}

TEST(ReplayProgram, BundledExamplesRun) {
  ReplayHarness h;
  const std::string examples = KORVIA_EXAMPLES_DIR;
  ReplayResult flat =
      h.RunWith({"--plugin", KORVIA_PLUGIN_PATH, "--conf", examples + "/type1-flat/conf.json",
                 "--events", examples + "/type1-flat/events.jsonl"});
  ASSERT_EQ(flat.status, 0) << flat.err;
  auto payloads = flat.Dispatches();
  ASSERT_EQ(payloads.size(), 2u) << flat.out;
  EXPECT_EQ(payloads[0]["payload"]["stats"].size(), 2u);
  EXPECT_EQ(payloads[1]["payload"]["stats"].size(), 1u);
  EXPECT_EQ(payloads[0]["payload"]["stats"][0]["upload"], 2000);  // two flows merged

  ReplayResult nested =
      h.RunWith({"--plugin", KORVIA_PLUGIN_PATH, "--conf", examples + "/type1-nested/conf.json",
                 "--events", examples + "/type1-nested/events.jsonl"});
  ASSERT_EQ(nested.status, 0) << nested.err;
  auto trees = nested.Dispatches();
  ASSERT_EQ(trees.size(), 1u) << nested.out;
  const json& tree = trees[0]["payload"]["stats"];
  EXPECT_EQ(tree["02:00:00:00:00:10"]["192.168.1.10"]["3.youtube"]["37"]["upload"], 2000);
  EXPECT_EQ(nested.Statuses().back()["samples"], 3);
}

}  // namespace
