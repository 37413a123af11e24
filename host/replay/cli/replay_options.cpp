#include "replay_options.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "kd_local_networks.h"
#include "korviad/kd_flow.h"
#include "replay_flow_cli.h"

namespace kdreplay {

namespace {

bool SetRole(const std::string&, const std::string& value, Options& options, std::string& error) {
  if (value == "internal" || value == "external") {
    options.iface_role =
        value == "internal" ? kdInterface::kRoleInternal : kdInterface::kRoleExternal;
    return true;
  }
  error = "--iface-role must be \"internal\" or \"external\", got \"" + value + "\"";
  return false;
}

// Whole or decimal seconds, at least one: shorter intervals would only repeat flow-map events
// of the same flows.
bool SetInterval(const std::string&, const std::string& value, Options& options,
                 std::string& error) {
  char* end = nullptr;
  double parsed = strtod(value.c_str(), &end);
  bool digits = value.find_first_not_of("0123456789.") == std::string::npos;
  if (!digits || end == value.c_str() || *end != '\0' || !(parsed >= 1 && parsed <= 86400)) {
    error = "--update-interval must be a number of seconds from 1 to 86400, got \"" + value + "\"";
    return false;
  }
  options.update_interval = parsed;
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

// An option of the command line: how it is parsed, and its lines of --help.
struct OptionSpec {
  enum Kind {
    kFlag,      // no value
    kFinal,     // no value, and ends the parsing
    kSingle,    // a non-empty value, at most once
    kRepeated,  // a value, as often as needed; apply checks it
  };
  const char* name;
  Kind kind;
  bool (*apply)(const std::string& name, const std::string& value, Options& options,
                std::string& error);
  const char* help;
  const char* short_name = nullptr;  // tcpdump's letter for the same option, if any
};

template <bool Options::*Member>
bool SetFlag(const std::string&, const std::string&, Options& options, std::string&) {
  options.*Member = true;
  return true;
}

template <std::string Options::*Member>
bool SetText(const std::string&, const std::string& value, Options& options, std::string&) {
  options.*Member = value;
  return true;
}

template <int64_t Options::*Member>
bool SetTime(const std::string& name, const std::string& value, Options& options,
             std::string& error) {
  if (ParseTimeValue(value, options.*Member)) return true;
  error = name + " must be seconds since the epoch or \"YYYY-MM-DD[ HH:MM[:SS]]\", got \"" + value +
          "\"";
  return false;
}

bool NonEmpty(const std::string& name, const std::string& value, std::string& error) {
  if (!value.empty()) return true;
  error = name + " needs a non-empty value";
  return false;
}

bool AddSink(const std::string&, const std::string& value, Options& options, std::string& error) {
  std::string sink;
  SinkTarget target;
  if (!ParseSinkOption(value, sink, target, error)) return false;
  if (options.sinks.emplace(sink, target).second) return true;
  error = "--sink " + sink + " given twice";
  return false;
}

bool AddKafkaProperty(const std::string&, const std::string& value, Options& options,
                      std::string& error) {
  size_t equals = value.find('=');
  if (equals == std::string::npos || equals == 0) {
    error = "--kafka-property expects KEY=VALUE, got \"" + value + "\"";
    return false;
  }
  options.kafka_properties.emplace_back(value.substr(0, equals), value.substr(equals + 1));
  return true;
}

bool NoCheck(const std::string&, const Options&, std::string&) {
  return true;
}

bool NewLive(const std::string& value, const Options& options, std::string& error) {
  if (std::count(options.live.begin(), options.live.end(), value) == 0) return true;
  error = "--live " + value + " given twice";
  return false;
}

bool ValidNetwork(const std::string& value, const Options&, std::string& error) {
  if (kdLocalNetworks().Add(value)) return true;
  error = "--local-net: \"" + value + "\" is not an address or a network in CIDR notation";
  return false;
}

// A non-empty value that check accepts, added to a list.
template <std::vector<std::string> Options::*Member,
          bool (*Check)(const std::string&, const Options&, std::string&) = NoCheck>
bool AddText(const std::string& name, const std::string& value, Options& options,
             std::string& error) {
  if (!NonEmpty(name, value, error) || !Check(value, options, error)) return false;
  (options.*Member).push_back(value);
  return true;
}

// A whole number from Low to High.
template <typename Field, Field Options::*Member, int Low, int High>
bool SetCount(const std::string& name, const std::string& value, Options& options,
              std::string& error) {
  int count = 0;
  if (!ParseCount(name, value, Low, High, count, error)) return false;
  options.*Member = static_cast<Field>(count);
  return true;
}

bool SetSort(const std::string&, const std::string& value, Options& options, std::string& error) {
  if (ParseSummaryOrder(value, options.order)) return true;
  error = "--sort must be \"bytes\", \"packets\" or \"flows\", got \"" + value + "\"";
  return false;
}

// ADDR:PORT, split at the last colon; port 0 lets the system choose. Whether ADDR can be listened
// on is found out when the run starts.
bool SetMetrics(const std::string& name, const std::string& value, Options& options,
                std::string& error) {
  size_t colon = value.rfind(':');
  int port = 0;
  if (colon == std::string::npos || colon == 0 ||
      !ParseCount(name, value.substr(colon + 1), 0, 65535, port, error)) {
    error = name + " expects ADDR:PORT (\"127.0.0.1:9464\"), got \"" + value + "\"";
    return false;
  }
  options.metrics = value;
  return true;
}

// Every option, in the order --help lists them.
const OptionSpec kOptions[] = {
    {"--plugin", OptionSpec::kSingle, SetText<&Options::plugin>,
     "  --plugin PATH      plugin library (default: the plugin built or installed beside\n"
     "                     the program)\n"},
    {"--conf", OptionSpec::kSingle, SetText<&Options::conf>,
     "  --conf FILE        the plugin's configuration file (parameter conf_filename)\n"},
    {"--tag", OptionSpec::kSingle, SetText<&Options::tag>,
     "  --tag TAG          plugin tag (default \"aggregator\")\n"},
    {"--events", OptionSpec::kSingle, SetText<&Options::events>,
     "  --events SCRIPT    JSON Lines event script; \"-\" reads standard input\n"},
    {"--sink", OptionSpec::kRepeated, AddSink,
     "  --sink NAME=TARGET   where payloads dispatched to sink NAME go: \"stdout\" (the\n"
     "                     default for every sink), \"dir:PATH\" (one file per payload,\n"
     "                     encoded by the dispatch flags), \"sqlite:PATH\" (rows of an\n"
     "                     SQLite database) or \"kafka:BROKERS/TOPIC\" (one message per\n"
     "                     payload); see docs/sinks.md\n"},
    {"--kafka-property", OptionSpec::kRepeated, AddKafkaProperty,
     "  --kafka-property KEY=VALUE   a librdkafka property for the kafka sinks (repeatable)\n"},
    {"--probe", OptionSpec::kSingle, SetText<&Options::probe>,
     "  --probe NAME       the name stored with every result, beside the run's ID\n"
     "                     (default: the host name)\n"},
    {"--append", OptionSpec::kFlag, SetFlag<&Options::append>,
     "  --append           store the results of a file a dir: or sqlite: sink holds\n"
     "                     already (otherwise such a run is refused)\n"},
    {"--debug", OptionSpec::kFlag, SetFlag<&Options::debug>,
     "  --debug            show the plugin's debug lines on standard error\n"},
    {"--summary", OptionSpec::kFlag, SetFlag<&Options::summary>,
     "  --summary          after the run, a table of the records with the most bytes,\n"
     "                     each summed across the run's reports\n"},
    {"--top", OptionSpec::kSingle, (SetCount<size_t, &Options::top, 1, 1000000>),
     "  --top N            rows per summary table (default 20)\n"},
    {"--sort", OptionSpec::kSingle, SetSort,
     "  --sort ORDER       rank the summary by \"bytes\" (default), \"packets\" or \"flows\"\n"},
    {"--csv", OptionSpec::kFlag, SetFlag<&Options::csv>,
     "  --csv              the flat rows of every payload as CSV, one table per record\n"
     "                     type, instead of the payload lines of standard output sinks\n"},
    {"--pretty", OptionSpec::kFlag, SetFlag<&Options::pretty>,
     "  --pretty           print the payloads of standard output sinks indented\n"},
    {"--metrics", OptionSpec::kSingle, SetMetrics,
     "  --metrics ADDR:PORT   serve Prometheus metrics at http://ADDR:PORT/metrics while\n"
     "                     the run lasts (port 0: a free one); see docs/metrics.md\n"},
    {"--read", OptionSpec::kRepeated, AddText<&Options::read>,
     "\n"
     "  --read PATH        read back the payload files (or folders of them) a dir sink\n"
     "                     wrote and print their summary, or with --csv their rows;\n"
     "                     further arguments are more paths\n"},
    {"--from", OptionSpec::kSingle, SetTime<&Options::from>,
     "  --from TIME        with --read: only windows starting at or after TIME (seconds\n"
     "                     since the epoch or \"YYYY-MM-DD[ HH:MM[:SS]]\" in UTC)\n"},
    {"--to", OptionSpec::kSingle, SetTime<&Options::to>,
     "  --to TIME          with --read: only windows starting before TIME\n"},
    {"--pcap", OptionSpec::kRepeated, AddText<&Options::pcaps>,
     "\n"
     "  -r, --pcap FILE       replay a capture file (classic pcap or pcapng; repeatable;\n"
     "                        files are replayed in the order of their first packets)\n",
     "-r"},
    {"--live", OptionSpec::kRepeated, (AddText<&Options::live, NewLive>),
     "  -i, --live IFACE      capture from an interface until SIGINT or SIGTERM, then stop\n"
     "                        cleanly (repeatable: one capture per interface)\n",
     "-i"},
    {"--align", OptionSpec::kFlag, SetFlag<&Options::align>,
     "  --align               start --live on the next multiple of log_interval since the\n"
     "                        epoch, so that windows line up across probes (packets before\n"
     "                        it are not counted)\n"},
    {"--filter", OptionSpec::kSingle, SetText<&Options::filter>,
     "  --filter EXPRESSION   capture filter in libpcap's filter language, for --pcap and\n"
     "                        --live (\"not port 22\", \"net 192.168.1.0/24\"); the words\n"
     "                        after the last option are one too, as for tcpdump\n"},
    {"--count", OptionSpec::kSingle, (SetCount<uint64_t, &Options::count, 1, 2147483647>),
     "  -c, --count N         stop after N packets (a live capture: after the block of\n"
     "                        packets that holds the Nth)\n",
     "-c"},
    {"--duration", OptionSpec::kSingle, (SetCount<uint64_t, &Options::duration, 1, 2147483647>),
     "  --duration SECONDS    stop after SECONDS of wall time\n"},
    {"--give-up", OptionSpec::kSingle, (SetCount<uint64_t, &Options::give_up, 0, 2147483647>),
     "  --give-up SECONDS     end a live capture when none of its interfaces could be\n"
     "                        captured for SECONDS (default 600; 0: never); until then\n"
     "                        each is opened again as it comes back\n"},
    {"--snaplen", OptionSpec::kSingle, (SetCount<int, &Options::snaplen, 64, 262144>),
     "  --snaplen N           bytes kept of each live packet (default 2048)\n"},
    {"--buffer-size", OptionSpec::kSingle, (SetCount<int, &Options::buffer_mib, 1, 4096>),
     "  --buffer-size MIB     kernel capture buffer per interface, in MiB (default 32)\n"},
    {"--iface-role", OptionSpec::kSingle, SetRole,
     "  --iface-role ROLE     \"internal\" (role 1, default) or \"external\" for the capture\n"
     "                        interface\n"},
    {"--local-net", OptionSpec::kRepeated, (AddText<&Options::local_nets, ValidNetwork>),
     "  --local-net CIDR      a local network (repeatable); default 10.0.0.0/8,\n"
     "                        172.16.0.0/12, 192.168.0.0/16, 100.64.0.0/10, 169.254.0.0/16,\n"
     "                        fc00::/7, fe80::/10\n"},
    {"--update-interval", OptionSpec::kSingle, SetInterval,
     "  --update-interval S   seconds (capture time) between flow-map events (default 15)\n"},
    {"--max-flows", OptionSpec::kSingle, (SetCount<size_t, &Options::max_flows, 1, 0x7FFFFFFF>),
     "  --max-flows N         flows tracked at once per capture (default 1000000); packets\n"
     "                        of further flows are counted as discarded and reported\n"},
    {"--realtime", OptionSpec::kFlag, SetFlag<&Options::realtime>,
     "  --realtime            replay a file at its own pace instead of as fast as possible\n"
     "                        (either way the plugin reports in the file's own time)\n"},
    {"--progress", OptionSpec::kFlag, SetFlag<&Options::progress>,
     "  --progress            a progress line on standard error for long files\n"},
    {"--listen", OptionSpec::kRepeated, AddListen,
     "\n"
     "  --listen URL          collect flow export: \"netflow://ADDR:PORT\" (NetFlow v5, v9\n"
     "                        and IPFIX) or \"sflow://ADDR:PORT\" (sFlow v5); repeatable,\n"
     "                        with --live or alone, until SIGINT or SIGTERM; see\n"
     "                        docs/flow-protocols.md\n"},
    {"--listen-buffer", OptionSpec::kSingle, SetListenBuffer,
     "  --listen-buffer MIB   receive buffer of each --listen socket (default 64)\n"},
    {"--export", OptionSpec::kSingle, SetExport,
     "  --export URL          send the flows of --pcap or --live to a collector:\n"
     "                        \"ipfix://HOST:PORT\", \"netflow9://HOST:PORT\" or\n"
     "                        \"netflow5://HOST:PORT\"\n"},
    {"--export-domain", OptionSpec::kSingle, SetExportNumber,
     "  --export-domain N     IPFIX observation domain, v9 source ID (default 0)\n"},
    {"--export-active", OptionSpec::kSingle, SetExportNumber,
     "  --export-active S     export a flow every S seconds while it lasts (default 1800)\n"},
    {"--export-inactive", OptionSpec::kSingle, SetExportNumber,
     "  --export-inactive S   export a flow once quiet for S seconds (default 15)\n"},
    {"--export-template-datagrams", OptionSpec::kSingle, SetExportNumber,
     "  --export-template-datagrams N   templates again every N datagrams (default 20)\n"},
    {"--export-template-seconds", OptionSpec::kSingle, SetExportNumber,
     "  --export-template-seconds S     and at least every S seconds (default 60)\n"},
    {"--export-biflow", OptionSpec::kFlag, SetExportBiflow,
     "  --export-biflow       IPFIX: one RFC 5103 biflow record per flow instead of two\n"
     "                        uniflow records\n"},
    {"--help", OptionSpec::kFinal, SetFlag<&Options::help>, "  --help, --version\n"},
    {"--version", OptionSpec::kFinal, SetFlag<&Options::version>, ""},
};

const OptionSpec* FindOption(const std::string& name) {
  for (const OptionSpec& option : kOptions) {
    if (name == option.name || (option.short_name != nullptr && name == option.short_name))
      return &option;
  }
  return nullptr;
}

// The options that take no value, given as the whole argument ("-h" is --help).
const OptionSpec* FindFlag(const std::string& argument) {
  const OptionSpec* option = FindOption(argument == "-h" ? "--help" : argument);
  if (option == nullptr || option->kind == OptionSpec::kSingle ||
      option->kind == OptionSpec::kRepeated)
    return nullptr;
  return option;
}

// The rules between options, once all are read.
bool CheckSummaryAndReadBack(const Options& options, const std::set<std::string>& seen,
                             std::string& error) {
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
  if (!options.read.empty() &&
      (!options.conf.empty() || !options.events.empty() || !options.pcaps.empty() ||
       !options.live.empty() || !options.metrics.empty() || !options.listen.endpoints.empty())) {
    error =
        "--read cannot be combined with a run (--conf, --events, --pcap, --live, --listen, "
        "--metrics)";
    return false;
  }
  return true;
}

bool CheckRun(const Options& options, const std::set<std::string>& seen, std::string& error) {
  if (options.conf.empty()) {
    error = "--conf FILE is required";
    return false;
  }
  if (!CheckFlowOptions(options, seen, error)) return false;
  const bool live = !options.live.empty() || !options.listen.endpoints.empty();
  int inputs = !options.events.empty() + !options.pcaps.empty() + live;
  if (inputs == 0) {
    error = "one of --events SCRIPT, --pcap FILE, --live IFACE and --listen URL is required";
    return false;
  }
  if (inputs > 1) {
    error = !options.events.empty() ? "--events cannot be combined with --pcap or --live"
                                    : "--pcap cannot be combined with --live";
    return false;
  }
  if (options.live.empty() && options.align) {
    error = "--align applies to --live only";
    return false;
  }
  if (options.live.empty() &&
      (options.snaplen != 0 || options.buffer_mib != 0 || seen.count("--give-up") > 0)) {
    error = std::string(options.snaplen != 0      ? "--snaplen"
                        : options.buffer_mib != 0 ? "--buffer-size"
                                                  : "--give-up") +
            " applies to --live only";
    return false;
  }
  if (!options.events.empty() && (options.count != 0 || options.duration != 0)) {
    error = std::string(options.count != 0 ? "--count" : "--duration") +
            " applies to --pcap and --live only";
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

// One option that takes a value: argv[i] as "--name=value" or "--name" then argv[i + 1].
bool ParseValueOption(int argc, const char* const* argv, int& i, Options& options,
                      std::set<std::string>& seen, std::string& error) {
  const std::string argument = argv[i];
  std::string name = argument;
  std::string value;
  bool has_value = false;
  size_t equals = argument.find('=');
  if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
    name = argument.substr(0, equals);
    value = argument.substr(equals + 1);
    has_value = true;
  }
  const OptionSpec* option = FindOption(name);
  if (option == nullptr || FindFlag(name) != nullptr) {
    if (option != nullptr) {
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
  if (option->kind == OptionSpec::kSingle) {
    if (!seen.insert(name).second) {
      error = name + " given twice";
      return false;
    }
    if (!NonEmpty(name, value, error)) return false;
  }
  return option->apply(name, value, options, error);
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

const char* UsageText() {
  static const std::string text = [] {
    // The "or:" lines are the form that help2man makes the manual page's synopsis of.
    std::string usage =
        "Usage: korvia-replay [options] --conf FILE --events SCRIPT\n"
        "  or:  korvia-replay [options] --conf FILE --pcap FILE [--pcap FILE ...] [FILTER]\n"
        "  or:  korvia-replay [options] --conf FILE --live IFACE [--live IFACE ...] [FILTER]\n"
        "  or:  korvia-replay [options] --conf FILE --listen URL [--listen URL ...]\n"
        "  or:  korvia-replay [--from TIME] [--to TIME] [--csv] --read PATH [PATH ...]\n"
        "Loads a processor plugin like the daemon does, drives it with the events of a JSON\n"
        "Lines script, or with the flows of captured traffic or of flow export, and writes\n"
        "what it dispatches to sinks.\n"
        "\n";
    for (const OptionSpec& option : kOptions) usage += option.help;
    return usage +
           "\n"
           "Signals: SIGHUP reloads the plugin's configuration, SIGUSR1 writes its status to\n"
           "standard output and a capture's counters to standard error, SIGINT and SIGTERM stop\n"
           "the run; the plugin then sends every sample it holds.\n"
           "\n"
           "Exit status: 0 success (also a --live capture stopped by SIGINT or SIGTERM),\n"
           "1 failure while running, 2 usage error, 3 the plugin raised errors, 6 the\n"
           "configuration was refused, 7 no interface could be captured for --give-up.\n"
           "See docs/replay.md for the event script format, docs/capture.md for captures.\n";
  }();
  return text.c_str();
}

bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error) {
  std::set<std::string> seen;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (const OptionSpec* flag = FindFlag(argument)) {
      flag->apply(flag->name, "", options, error);  // a flag cannot fail
      if (flag->kind == OptionSpec::kFinal) return true;
      continue;
    }
    // After --read, arguments that are not options are more paths.
    if (!options.read.empty() && argument.compare(0, 1, "-") != 0) {
      options.read.push_back(argument);
      continue;
    }
    // The words after the options are a filter, joined with blanks as tcpdump joins them.
    if (argument.compare(0, 1, "-") != 0 && argument != "") {
      std::string filter;
      for (; i < argc; ++i) {
        if (std::string(argv[i]).compare(0, 1, "-") == 0 && !filter.empty()) break;
        filter += (filter.empty() ? "" : " ") + std::string(argv[i]);
      }
      if (i < argc) {
        error = "options must come before the filter words (\"" + std::string(argv[i]) + "\")";
        return false;
      }
      if (!seen.insert("--filter").second) {
        error = "a filter given both with --filter and as trailing words";
        return false;
      }
      options.filter = filter;
      break;
    }
    if (!ParseValueOption(argc, argv, i, options, seen, error)) return false;
  }
  if (!CheckSummaryAndReadBack(options, seen, error)) return false;
  return !options.read.empty() || CheckRun(options, seen, error);
}

}  // namespace kdreplay
