// kpp_pair_totals: packets per host pair and IP protocol, from korvia-replay's output of record
// type 2 and from a CSV of per-direction totals (src_host, dst_host, proto), and whether the two
// agree. A pair is unordered: the CSV's two directions are added together, as a type 2 record
// counts both directions of a local host's traffic with one peer.
//
//   kpp_pair_totals --replay FILE --csv FILE [--show N]
//
// FILE of --replay: korvia-replay's standard-output lines ({"channel", "flags", "payload",
// "sink"}), flat payloads of record type 2. FILE of --csv: a header line naming at least SRC_IP,
// DST_IP, PROTOCOL (as a number) and PACKETS, then one line per direction. Prints both totals and
// the pairs that differ (at most --show of them, default 10); exit status 0 when every pair
// agrees, 1 when some do not, 2 on a usage or input error.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

// (lower address text, higher address text, IP protocol)
using Pair = std::tuple<std::string, std::string, uint32_t>;
using Totals = std::map<Pair, uint64_t>;

Pair MakePair(const std::string& a, const std::string& b, uint32_t protocol) {
  return a < b ? Pair{a, b, protocol} : Pair{b, a, protocol};
}

bool ReadReplay(const std::string& path, Totals& totals, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    json dispatch = json::parse(line, nullptr, false);
    if (dispatch.is_discarded() || !dispatch.contains("payload")) {
      error = path + ":" + std::to_string(number) + ": not a dispatch line";
      return false;
    }
    const json& stats = dispatch["payload"].value("stats", json::array());
    if (!stats.is_array()) {
      error = path + ":" + std::to_string(number) + ": stats is not a flat array";
      return false;
    }
    for (const json& row : stats) {
      totals[MakePair(row.at("local_ip").get<std::string>(), row.at("other_ip").get<std::string>(),
                      row.at("ip_protocol").get<uint32_t>())] += row.at("packets").get<uint64_t>();
    }
  }
  return true;
}

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, ',')) fields.push_back(field);
  return fields;
}

bool ReadCsv(const std::string& path, Totals& totals, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  if (!std::getline(in, line)) {
    error = path + ": empty";
    return false;
  }
  const std::vector<std::string> header = SplitCsv(line);
  auto column = [&header](const char* name) {
    for (size_t i = 0; i < header.size(); ++i)
      if (header[i] == name) return static_cast<int>(i);
    return -1;
  };
  const int src = column("SRC_IP"), dst = column("DST_IP"), protocol = column("PROTOCOL"),
            packets = column("PACKETS");
  if (src < 0 || dst < 0 || protocol < 0 || packets < 0) {
    error = path + ": header lacks SRC_IP, DST_IP, PROTOCOL or PACKETS";
    return false;
  }
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const std::vector<std::string> fields = SplitCsv(line);
    if (fields.size() < header.size()) continue;
    totals[MakePair(fields[src], fields[dst],
                    static_cast<uint32_t>(std::strtoul(fields[protocol].c_str(), nullptr, 10)))] +=
        std::strtoull(fields[packets].c_str(), nullptr, 10);
  }
  return true;
}

uint64_t Sum(const Totals& totals) {
  uint64_t sum = 0;
  for (const auto& entry : totals) sum += entry.second;
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  std::string replay, csv;
  size_t show = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--replay")
      replay = argv[i + 1];
    else if (arg == "--csv")
      csv = argv[i + 1];
    else if (arg == "--show")
      show = std::strtoul(argv[i + 1], nullptr, 10);
  }
  if (replay.empty() || csv.empty() || argc % 2 == 0) {
    std::fprintf(stderr, "usage: kpp_pair_totals --replay FILE --csv FILE [--show N]\n");
    return 2;
  }
  Totals ours, theirs;
  std::string error;
  if (!ReadReplay(replay, ours, error) || !ReadCsv(csv, theirs, error)) {
    std::fprintf(stderr, "kpp_pair_totals: %s\n", error.c_str());
    return 2;
  }
  size_t differing = 0;
  auto report = [&](const Pair& pair, uint64_t a, uint64_t b) {
    if (a == b) return;
    if (differing++ < show)
      std::printf("  %s %s proto %u: replay %llu, csv %llu\n", std::get<0>(pair).c_str(),
                  std::get<1>(pair).c_str(), std::get<2>(pair), static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
  };
  for (const auto& entry : ours) {
    auto it = theirs.find(entry.first);
    report(entry.first, entry.second, it == theirs.end() ? 0 : it->second);
  }
  for (const auto& entry : theirs) {
    if (ours.find(entry.first) == ours.end()) report(entry.first, 0, entry.second);
  }
  std::printf("pairs: replay %zu, csv %zu; packets: replay %llu, csv %llu; pairs differing: %zu\n",
              ours.size(), theirs.size(), static_cast<unsigned long long>(Sum(ours)),
              static_cast<unsigned long long>(Sum(theirs)), differing);
  return differing == 0 ? 0 : 1;
}
