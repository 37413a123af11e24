#include "replay_options.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "kd_local_networks.h"
#include "korviad/kd_flow.h"

namespace kdreplay {

namespace {

const char* const kValueOptions[] = {
    "--plugin", "--conf",    "--tag",         "--events",         "--sink",
    "--pcap",   "--live",    "--iface-role",  "--local-net",      "--update-interval",
    "--filter", "--snaplen", "--buffer-size", "--kafka-property", "--max-flows",
    "--top",    "--sort",    "--read",        "--from",           "--to"};

const char* const kFlags[] = {"--help",     "--version", "--debug",  "--realtime",
                              "--progress", "--summary", "--pretty", "--csv"};

bool IsFlag(const std::string& name) {
  for (const char* flag : kFlags) {
    if (name == flag) return true;
  }
  return false;
}

bool TakesValue(const std::string& name) {
  for (const char* option : kValueOptions) {
    if (name == option) return true;
  }
  return false;
}

bool ParseRole(const std::string& value, uint8_t& role, std::string& error) {
  if (value == "internal" || value == "external") {
    role = value == "internal" ? kdInterface::kRoleInternal : kdInterface::kRoleExternal;
    return true;
  }
  error = "--iface-role must be \"internal\" or \"external\", got \"" + value + "\"";
  return false;
}

// Whole or decimal seconds, at least one: shorter intervals would only repeat flow-map events
// of the same flows.
bool ParseInterval(const std::string& value, double& seconds, std::string& error) {
  char* end = nullptr;
  double parsed = strtod(value.c_str(), &end);
  bool digits = value.find_first_not_of("0123456789.") == std::string::npos;
  if (!digits || end == value.c_str() || *end != '\0' || !(parsed >= 1 && parsed <= 86400)) {
    error = "--update-interval must be a number of seconds from 1 to 86400, got \"" + value + "\"";
    return false;
  }
  seconds = parsed;
  return true;
}

// A whole number from low to high.
bool ParseCount(const std::string& name, const std::string& value, int low, int high, int& count,
                std::string& error) {
  char* end = nullptr;
  long parsed = strtol(value.c_str(), &end, 10);
  if (value.find_first_not_of("0123456789") != std::string::npos || *end != '\0' || parsed < low ||
      parsed > high) {
    error = name + " must be a whole number from " + std::to_string(low) + " to " +
            std::to_string(high) + ", got \"" + value + "\"";
    return false;
  }
  count = static_cast<int>(parsed);
  return true;
}

}  // namespace

bool ParseTimeValue(const std::string& text, int64_t& seconds) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
      text.size() <= 12) {
    seconds = std::stoll(text);
    return true;
  }
  for (const char* format :
       {"%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M", "%Y-%m-%d"}) {
    tm calendar{};
    const char* end = strptime(text.c_str(), format, &calendar);
    if (end == nullptr || *end != '\0') continue;
    seconds = static_cast<int64_t>(timegm(&calendar));
    return true;
  }
  return false;
}

const char* UsageText() {
  return "Usage: korvia-replay [options] --conf FILE --events SCRIPT\n"
         "       korvia-replay [options] --conf FILE --pcap FILE [--pcap FILE ...]\n"
         "       korvia-replay [options] --conf FILE --live IFACE [--live IFACE ...]\n"
         "       korvia-replay [--from TIME] [--to TIME] [--csv] --read PATH [PATH ...]\n"
         "Loads a processor plugin like the daemon does, drives it with the events of a JSON\n"
         "Lines script, or with the flows of captured traffic, and writes what it dispatches\n"
         "to sinks.\n"
         "\n"
         "  --plugin PATH      plugin library (default: the plugin built or installed beside\n"
         "                     the program)\n"
         "  --conf FILE        the plugin's configuration file (parameter conf_filename)\n"
         "  --tag TAG          plugin tag (default \"aggregator\")\n"
         "  --events SCRIPT    JSON Lines event script; \"-\" reads standard input\n"
         "  --sink NAME=TARGET   where payloads dispatched to sink NAME go: \"stdout\" (the\n"
         "                     default for every sink), \"dir:PATH\" (one file per payload,\n"
         "                     encoded by the dispatch flags), \"sqlite:PATH\" (rows of an\n"
         "                     SQLite database) or \"kafka:BROKERS/TOPIC\" (one message per\n"
         "                     payload); see docs/sinks.md\n"
         "  --kafka-property KEY=VALUE   a librdkafka property for the kafka sinks (repeatable)\n"
         "  --debug            show the plugin's debug lines on standard error\n"
         "  --summary          after the run, a table of the records with the most bytes,\n"
         "                     each summed across the run's reports\n"
         "  --top N            rows per summary table (default 20)\n"
         "  --sort ORDER       rank the summary by \"bytes\" (default), \"packets\" or \"flows\"\n"
         "  --csv              the flat rows of every payload as CSV, one table per record\n"
         "                     type, instead of the payload lines of standard output sinks\n"
         "  --pretty           print the payloads of standard output sinks indented\n"
         "\n"
         "  --read PATH        read back the payload files (or folders of them) a dir sink\n"
         "                     wrote and print their summary, or with --csv their rows;\n"
         "                     further arguments are more paths\n"
         "  --from TIME        with --read: only windows starting at or after TIME (seconds\n"
         "                     since the epoch or \"YYYY-MM-DD[ HH:MM[:SS]]\" in UTC)\n"
         "  --to TIME          with --read: only windows starting before TIME\n"
         "\n"
         "  --pcap FILE           replay a capture file (classic pcap or pcapng; repeatable,\n"
         "                        in order)\n"
         "  --live IFACE          capture from an interface until SIGINT or SIGTERM, then stop\n"
         "                        cleanly (repeatable: one capture per interface)\n"
         "  --filter EXPRESSION   capture filter in libpcap's filter language, for --pcap and\n"
         "                        --live (\"not port 22\", \"net 192.168.1.0/24\")\n"
         "  --snaplen N           bytes kept of each live packet (default 2048)\n"
         "  --buffer-size MIB     kernel capture buffer per interface, in MiB (default 32)\n"
         "  --iface-role ROLE     \"internal\" (role 1, default) or \"external\" for the capture\n"
         "                        interface\n"
         "  --local-net CIDR      a local network (repeatable); default 10.0.0.0/8,\n"
         "                        172.16.0.0/12, 192.168.0.0/16, 100.64.0.0/10, 169.254.0.0/16,\n"
         "                        fc00::/7, fe80::/10\n"
         "  --update-interval S   seconds (capture time) between flow-map events (default 15)\n"
         "  --max-flows N         flows tracked at once per capture (default 1000000); packets\n"
         "                        of further flows are counted as discarded and reported\n"
         "  --realtime            replay a file at its own pace instead of as fast as possible\n"
         "                        (either way the plugin reports in the file's own time)\n"
         "  --progress            a progress line on standard error for long files\n"
         "  --help, --version\n"
         "\n"
         "Signals: SIGHUP reloads the plugin's configuration, SIGUSR1 writes its status to\n"
         "standard output, SIGINT and SIGTERM stop the run; the plugin then sends every sample\n"
         "it holds.\n"
         "\n"
         "Exit status: 0 success, 1 failure, 2 usage error, 3 the plugin raised errors.\n"
         "See docs/replay.md for the event script format, docs/capture.md for captures.\n";
}

bool ParseSinkOption(const std::string& text, std::string& name, SinkTarget& target,
                     std::string& error) {
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    error = "--sink expects NAME=TARGET, got \"" + text + "\"";
    return false;
  }
  name = text.substr(0, equals);
  std::string value = text.substr(equals + 1);
  if (value == "stdout") {
    target = SinkTarget{};
    return true;
  }
  for (auto [prefix, kind] : {std::pair{"dir:", SinkTarget::Kind::kDirectory},
                              std::pair{"sqlite:", SinkTarget::Kind::kSqlite}}) {
    size_t length = strlen(prefix);
    if (value.compare(0, length, prefix) == 0 && value.size() > length) {
      target.kind = kind;
      target.path = value.substr(length);
      return true;
    }
  }
  // Broker lists hold no "/", so the topic is what follows the last one.
  size_t slash = value.rfind('/');
  if (value.compare(0, 6, "kafka:") == 0 && slash != std::string::npos && slash > 6 &&
      slash + 1 < value.size()) {
    target.kind = SinkTarget::Kind::kKafka;
    target.brokers = value.substr(6, slash - 6);
    target.topic = value.substr(slash + 1);
    return true;
  }
  error = "--sink " + name +
          ": TARGET must be \"stdout\", \"dir:PATH\", \"sqlite:PATH\" or "
          "\"kafka:BROKERS/TOPIC\", got \"" +
          value + "\"";
  return false;
}

bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error) {
  std::set<std::string> seen;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      options.help = true;
      return true;
    }
    if (argument == "--version") {
      options.version = true;
      return true;
    }
    if (argument == "--debug") {
      options.debug = true;
      continue;
    }
    if (argument == "--realtime" || argument == "--progress") {
      (argument == "--realtime" ? options.realtime : options.progress) = true;
      continue;
    }
    if (argument == "--summary" || argument == "--pretty") {
      (argument == "--summary" ? options.summary : options.pretty) = true;
      continue;
    }
    if (argument == "--csv") {
      options.csv = true;
      continue;
    }
    if (!options.read.empty() && argument.compare(0, 1, "-") != 0) {
      options.read.push_back(argument);
      continue;
    }

    std::string name = argument;
    std::string value;
    bool has_value = false;
    size_t equals = argument.find('=');
    if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      has_value = true;
    }
    if (!TakesValue(name)) {
      if (IsFlag(name)) {
        error = name + " takes no value";
      } else {
        error = argument.compare(0, 1, "-") == 0 ? "unknown option " + name
                                                 : "unexpected argument \"" + argument + "\"";
      }
      return false;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        error = name + " needs a value";
        return false;
      }
      value = argv[++i];
    }

    if (name == "--sink") {
      std::string sink;
      SinkTarget target;
      if (!ParseSinkOption(value, sink, target, error)) return false;
      if (!options.sinks.emplace(sink, target).second) {
        error = "--sink " + sink + " given twice";
        return false;
      }
      continue;
    }
    if (name == "--kafka-property") {
      size_t equals_at = value.find('=');
      if (equals_at == std::string::npos || equals_at == 0) {
        error = "--kafka-property expects KEY=VALUE, got \"" + value + "\"";
        return false;
      }
      options.kafka_properties.emplace_back(value.substr(0, equals_at),
                                            value.substr(equals_at + 1));
      continue;
    }
    if (name == "--read") {
      if (value.empty()) {
        error = "--read needs a non-empty value";
        return false;
      }
      options.read.push_back(value);
      continue;
    }
    if (name == "--pcap" || name == "--local-net" || name == "--live") {
      if (value.empty()) {
        error = name + " needs a non-empty value";
        return false;
      }
      if (name == "--local-net" && !kdLocalNetworks().Add(value)) {
        error = "--local-net: \"" + value + "\" is not an address or a network in CIDR notation";
        return false;
      }
      if (name == "--live" && std::count(options.live.begin(), options.live.end(), value) > 0) {
        error = "--live " + value + " given twice";
        return false;
      }
      (name == "--pcap"   ? options.pcaps
       : name == "--live" ? options.live
                          : options.local_nets)
          .push_back(value);
      continue;
    }
    if (!seen.insert(name).second) {
      error = name + " given twice";
      return false;
    }
    if (value.empty()) {
      error = name + " needs a non-empty value";
      return false;
    }
    if (name == "--plugin") options.plugin = value;
    if (name == "--conf") options.conf = value;
    if (name == "--tag") options.tag = value;
    if (name == "--events") options.events = value;
    if (name == "--filter") options.filter = value;
    if (name == "--snaplen" && !ParseCount(name, value, 64, 262144, options.snaplen, error))
      return false;
    if (name == "--buffer-size" && !ParseCount(name, value, 1, 4096, options.buffer_mib, error))
      return false;
    if (name == "--iface-role" && !ParseRole(value, options.iface_role, error)) return false;
    if (name == "--update-interval" && !ParseInterval(value, options.update_interval, error)) {
      return false;
    }
    if (name == "--max-flows") {
      int flows = 0;
      if (!ParseCount(name, value, 1, 0x7FFFFFFF, flows, error)) return false;
      options.max_flows = static_cast<size_t>(flows);
    }
    int top = 0;
    if (name == "--top") {
      if (!ParseCount(name, value, 1, 1000000, top, error)) return false;
      options.top = static_cast<size_t>(top);
    }
    if (name == "--sort" && !ParseSummaryOrder(value, options.order)) {
      error = "--sort must be \"bytes\", \"packets\" or \"flows\", got \"" + value + "\"";
      return false;
    }
    if ((name == "--from" || name == "--to") &&
        !ParseTimeValue(value, name == "--from" ? options.from : options.to)) {
      error = name + " must be seconds since the epoch or \"YYYY-MM-DD[ HH:MM[:SS]]\", got \"" +
              value + "\"";
      return false;
    }
  }

  if (options.csv && options.summary) {
    error = "--csv cannot be combined with --summary";
    return false;
  }
  if ((seen.count("--top") > 0 || seen.count("--sort") > 0) && !options.summary &&
      (options.read.empty() || options.csv)) {
    error = std::string(seen.count("--top") > 0 ? "--top" : "--sort") +
            " applies to the summary only (--summary, or --read without --csv)";
    return false;
  }
  if (options.read.empty() && (seen.count("--from") > 0 || seen.count("--to") > 0)) {
    error = std::string(seen.count("--from") > 0 ? "--from" : "--to") + " applies to --read only";
    return false;
  }
  if (!options.read.empty()) {
    if (!options.conf.empty() || !options.events.empty() || !options.pcaps.empty() ||
        !options.live.empty()) {
      error = "--read cannot be combined with a run (--conf, --events, --pcap, --live)";
      return false;
    }
    return true;
  }

  if (options.conf.empty()) {
    error = "--conf FILE is required";
    return false;
  }
  int inputs = !options.events.empty() + !options.pcaps.empty() + !options.live.empty();
  if (inputs == 0) {
    error = "one of --events SCRIPT, --pcap FILE and --live IFACE is required";
    return false;
  }
  if (inputs > 1) {
    error = !options.events.empty() ? "--events cannot be combined with --pcap or --live"
                                    : "--pcap cannot be combined with --live";
    return false;
  }
  if (options.live.empty() && (options.snaplen != 0 || options.buffer_mib != 0)) {
    error = std::string(options.snaplen != 0 ? "--snaplen" : "--buffer-size") +
            " applies to --live only";
    return false;
  }
  if (!options.events.empty() && !options.filter.empty()) {
    error = "--filter applies to --pcap and --live only";
    return false;
  }
  if (options.pcaps.empty() && (options.realtime || options.progress)) {
    error = std::string(options.realtime ? "--realtime" : "--progress") + " applies to --pcap only";
    return false;
  }
  return true;
}

}  // namespace kdreplay
