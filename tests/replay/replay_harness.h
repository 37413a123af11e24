// Runs the korvia-replay program on scratch files and collects what it printed.
#pragma once

#include <sys/wait.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.h"

namespace replay_testing {

using nlohmann::json;

struct ReplayResult {
  int status = -1;
  std::string out;
  std::string err;

  // Standard output, one parsed JSON value per line.
  std::vector<json> Lines() const {
    std::vector<json> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) lines.push_back(json::parse(line));
    return lines;
  }
  // The dispatch lines ({"channel", "flags", "payload", "sink"}), in order.
  std::vector<json> Dispatches() const {
    std::vector<json> out_lines;
    for (json& line : Lines())
      if (line.contains("payload")) out_lines.push_back(line);
    return out_lines;
  }
  // The objects of the {"status": ...} lines, in order.
  std::vector<json> Statuses() const {
    std::vector<json> out_lines;
    for (json& line : Lines())
      if (line.contains("status")) out_lines.push_back(line["status"]);
    return out_lines;
  }
};

inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Inflates a gzip stream.
inline std::string Gunzip(const std::string& data) {
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 16) != Z_OK) throw std::runtime_error("inflateInit2");
  std::string out;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    char buffer[16384];
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    rc = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof(buffer) - stream.avail_out);
  }
  inflateEnd(&stream);
  if (rc != Z_STREAM_END) throw std::runtime_error("not a complete gzip stream");
  return out;
}

// A scratch directory with a configuration "conf.json" and a script "events.jsonl".
class ReplayHarness {
 public:
  ReplayHarness() { SetConf(json::object()); }

  const testing_support::TempDir& dir() const { return dir_; }
  std::string conf_path() const { return dir_.File("conf.json"); }
  std::string script_path() const { return dir_.File("events.jsonl"); }

  void SetConf(const json& conf) { dir_.Write("conf.json", conf.dump()); }
  void SetScript(const std::string& text) { dir_.Write("events.jsonl", text); }
  void SetScript(const std::vector<json>& events) {
    std::string text;
    for (const json& event : events) text += event.dump() + "\n";
    SetScript(text);
  }

  // Runs the program with exactly these arguments, standard input from stdin_text, standard
  // output to stdout_path (default: a scratch file that the result reads back; another path is
  // not read back).
  ReplayResult RunWith(const std::vector<std::string>& arguments,
                       const std::string& stdin_text = "", std::string stdout_path = "") const {
    std::string in = dir_.Write("stdin.txt", stdin_text);
    bool read_back = stdout_path.empty();
    if (read_back) stdout_path = dir_.File("stdout.txt");
    std::string command = ShellQuote(KORVIA_REPLAY_PATH);
    for (const std::string& argument : arguments) command += " " + ShellQuote(argument);
    command += " <" + ShellQuote(in) + " >" + ShellQuote(stdout_path) + " 2>" +
               ShellQuote(dir_.File("stderr.txt"));
    int raw = std::system(command.c_str());
    ReplayResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    if (read_back) result.out = ReadFile(stdout_path);
    result.err = ReadFile(dir_.File("stderr.txt"));
    return result;
  }

  // The real plugin on conf.json and events.jsonl, plus extra arguments.
  ReplayResult Run(const std::vector<std::string>& extra = {},
                   const std::string& plugin = KORVIA_PLUGIN_PATH) const {
    std::vector<std::string> arguments = {"--plugin",  plugin,     "--conf",
                                          conf_path(), "--events", script_path()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return RunWith(arguments);
  }

 private:
  testing_support::TempDir dir_;
};

// A configuration with sink "sink", channel "ch" (and any extra keys).
inline json ConfWithChannel(json extra = json::object()) {
  json conf = {{"sinks", {{"sink", {{"ch", json::object()}}}}}};
  for (auto it = extra.begin(); it != extra.end(); ++it) conf[it.key()] = it.value();
  return conf;
}

// A FLOW that type 1 records: endpoint A local, detection complete, traffic both ways.
inline json LocalFlow(const std::string& ip, uint64_t upload, uint64_t download) {
  return {{"endpoint_map", 1},
          {"mac_a", "00:11:22:33:44:55"},
          {"addr_a", ip},
          {"port_a", 50000},
          {"addr_b", "192.0.2.7"},
          {"port_b", 443},
          {"bytes_a", upload},
          {"bytes_b", download},
          {"packets_a", 3},
          {"packets_b", 4},
          {"detected_protocol", 91},
          {"detected_application", 10},
          {"detected_application_name", "example"}};
}

}  // namespace replay_testing
