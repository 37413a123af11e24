// The command line of korvia-replay.
//
//   korvia-replay [options] --conf FILE --events SCRIPT
//   korvia-replay [options] --conf FILE --pcap FILE [--pcap FILE ...]
//   korvia-replay [options] --conf FILE --live IFACE [--live IFACE ...]
//   korvia-replay [options] --conf FILE --listen URL [--listen URL ...] [--live IFACE ...]
//   korvia-replay [--from TIME] [--to TIME] [--csv] [--top N] [--sort ORDER] --read PATH...
//
// Every option takes its value as the next argument or after "=" (--tag=x). --sink may be given
// once per sink name, --live once per interface, --pcap, --local-net and --kafka-property as
// often as needed; the other options at most once.
// --help and --version end the parsing.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "replay_flow_options.h"
#include "replay_record_totals.h"
#include "replay_sink_target.h"

namespace kdreplay {

struct Options {
  std::string plugin;  // empty: look beside the program
  std::string conf;
  std::string tag = "aggregator";
  std::string events;                       // "-" is standard input
  std::map<std::string, SinkTarget> sinks;  // sinks not listed go to standard output
  // --kafka-property KEY=VALUE: librdkafka properties for every kafka sink, in order.
  std::vector<std::pair<std::string, std::string>> kafka_properties;
  bool debug = false;
  std::string probe;    // --probe: stored with every result; empty: the host name
  bool append = false;  // --append: store results of inputs a sink already holds
  // Capture input instead of a script (docs/capture.md).
  std::vector<std::string> pcaps;       // --pcap, replayed in this order
  std::vector<std::string> live;        // --live, captured together
  bool align = false;                   // --align: live windows start on a window boundary
  std::string filter;                   // --filter, for --pcap and --live
  int snaplen = 0;                      // --snaplen; 0: the capture's default
  int buffer_mib = 0;                   // --buffer-size; 0: the capture's default
  uint8_t iface_role = 1;               // --iface-role: 1 internal, 2 external
  std::vector<std::string> local_nets;  // --local-net; empty: the default local networks
  double update_interval = 15;          // --update-interval, seconds of capture time
  size_t max_flows = 1'000'000;         // --max-flows, per capture
  uint64_t count = 0;                   // -c, --count: stop after this many packets; 0: never
  uint64_t duration = 0;                // --duration: stop after this many seconds; 0: never
  // --give-up: end a live capture when no interface was captured for this many seconds; 0: never.
  uint64_t give_up = 600;
  bool realtime = false;
  bool progress = false;
  // Flow protocols (docs/flow-protocols.md).
  FlowListenOptions listen;        // --listen, --listen-buffer
  FlowExportOptions export_flows;  // --export and the --export-* options
  // Presentation on standard output.
  bool summary = false;  // --summary: a table of the largest records after the payload lines
  bool pretty = false;   // --pretty: payload lines indented
  std::string metrics;   // --metrics ADDR:PORT: the Prometheus endpoint; empty: none
  size_t top = 20;       // --top: rows per summary table
  SummaryOrder order = SummaryOrder::kBytes;  // --sort
  bool csv = false;  // --csv: the flat rows as CSV instead of the payload lines
  // Results read back (docs/replay.md): files or folders a dir sink wrote, instead of a run.
  std::vector<std::string> read;
  int64_t from = INT64_MIN;  // --from: payloads whose window starts at or after
  int64_t to = INT64_MAX;    // --to: payloads whose window starts before
  bool help = false;
  bool version = false;
};

// Fills options from argv. Returns false with a one-line reason in error on a usage error.
bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error);

// "NAME=stdout", "NAME=dir:PATH", "NAME=sqlite:PATH" or "NAME=kafka:BROKERS/TOPIC". Returns false
// with a reason in error otherwise.
bool ParseSinkOption(const std::string& text, std::string& name, SinkTarget& target,
                     std::string& error);

// A time for --from and --to: seconds since the epoch, or "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or
// "YYYY-MM-DD HH:MM:SS" in UTC ("T" may stand for the space). False when text is none of them.
bool ParseTimeValue(const std::string& text, int64_t& seconds);

// The text --help prints.
const char* UsageText();

}  // namespace kdreplay
