// The command line of korvia-replay.
//
//   korvia-replay [options] --conf FILE --events SCRIPT
//   korvia-replay [options] --conf FILE --pcap FILE [--pcap FILE ...]
//   korvia-replay [options] --conf FILE --live IFACE
//
// Every option takes its value as the next argument or after "=" (--tag=x). --sink may be given
// once per sink name, --pcap and --local-net as often as needed; the other options at most once.
// --help and --version end the parsing.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kdreplay {

// Where the payloads dispatched to one sink go.
struct SinkTarget {
  enum class Kind { kStdout, kDirectory };
  Kind kind = Kind::kStdout;
  std::string path;  // kDirectory only
};

struct Options {
  std::string plugin;  // empty: look beside the program
  std::string conf;
  std::string tag = "aggregator";
  std::string events;                       // "-" is standard input
  std::map<std::string, SinkTarget> sinks;  // sinks not listed go to standard output
  bool debug = false;
  // Capture input instead of a script (docs/capture.md).
  std::vector<std::string> pcaps;       // --pcap, replayed in this order
  std::string live;                     // --live
  uint8_t iface_role = 1;               // --iface-role: 1 internal, 2 external
  std::vector<std::string> local_nets;  // --local-net; empty: the default local networks
  double update_interval = 15;          // --update-interval, seconds of capture time
  size_t max_flows = 1'000'000;         // --max-flows, per capture
  bool realtime = false;
  bool progress = false;
  // Presentation on standard output.
  bool summary = false;  // --summary: a table of the largest records after the payload lines
  bool pretty = false;   // --pretty: payload lines indented
  bool help = false;
  bool version = false;
};

// Fills options from argv. Returns false with a one-line reason in error on a usage error.
bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error);

// "NAME=stdout" or "NAME=dir:PATH". Returns false with a reason in error otherwise.
bool ParseSinkOption(const std::string& text, std::string& name, SinkTarget& target,
                     std::string& error);

// The text --help prints.
const char* UsageText();

}  // namespace kdreplay
