// The command line of korvia-replay.
//
//   korvia-replay [options] --conf FILE --events SCRIPT
//
// Every option takes its value as the next argument or after "=" (--tag=x). --sink may be given
// once per sink name; the other options at most once. --help and --version end the parsing.
#pragma once

#include <map>
#include <string>

namespace kdreplay {

// Where the payloads dispatched to one sink go.
struct SinkSpec {
  enum class Kind { kStdout, kDirectory };
  Kind kind = Kind::kStdout;
  std::string path;  // kDirectory only
};

struct Options {
  std::string plugin;  // empty: look beside the program
  std::string conf;
  std::string tag = "aggregator";
  std::string events;                     // "-" is standard input
  std::map<std::string, SinkSpec> sinks;  // sinks not listed go to standard output
  bool debug = false;
  bool help = false;
  bool version = false;
};

// Fills options from argv. Returns false with a one-line reason in error on a usage error.
bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error);

// "NAME=stdout" or "NAME=dir:PATH". Returns false with a reason in error otherwise.
bool ParseSinkOption(const std::string& text, std::string& name, SinkSpec& spec,
                     std::string& error);

// The text --help prints.
const char* UsageText();

}  // namespace kdreplay
