#include "replay_options.h"

#include <cstring>
#include <set>

namespace kdreplay {

namespace {

const char* const kValueOptions[] = {"--plugin", "--conf", "--tag", "--events", "--sink"};

bool TakesValue(const std::string& name) {
  for (const char* option : kValueOptions) {
    if (name == option) return true;
  }
  return false;
}

}  // namespace

const char* UsageText() {
  return "Usage: korvia-replay [options] --conf FILE --events SCRIPT\n"
         "Loads a processor plugin like the daemon does, drives it with the events of a JSON\n"
         "Lines script and writes what it dispatches to sinks.\n"
         "\n"
         "  --plugin PATH      plugin library (default: the plugin built or installed beside\n"
         "                     the program)\n"
         "  --conf FILE        the plugin's configuration file (parameter conf_filename)\n"
         "  --tag TAG          plugin tag (default \"aggregator\")\n"
         "  --events SCRIPT    JSON Lines event script; \"-\" reads standard input\n"
         "  --sink NAME=SPEC   where payloads dispatched to sink NAME go: \"stdout\" (the\n"
         "                     default for every sink) or \"dir:PATH\" (one file per payload,\n"
         "                     encoded by the dispatch flags)\n"
         "  --debug            show the plugin's debug lines on standard error\n"
         "  --help, --version\n"
         "\n"
         "Exit status: 0 success, 1 failure, 2 usage error, 3 the plugin raised errors.\n"
         "See docs/replay.md for the event script format.\n";
}

bool ParseSinkOption(const std::string& text, std::string& name, SinkSpec& spec,
                     std::string& error) {
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    error = "--sink expects NAME=SPEC, got \"" + text + "\"";
    return false;
  }
  name = text.substr(0, equals);
  std::string value = text.substr(equals + 1);
  if (value == "stdout") {
    spec = SinkSpec{};
    return true;
  }
  if (value.compare(0, 4, "dir:") == 0 && value.size() > 4) {
    spec.kind = SinkSpec::Kind::kDirectory;
    spec.path = value.substr(4);
    return true;
  }
  error = "--sink " + name + ": SPEC must be \"stdout\" or \"dir:PATH\", got \"" + value + "\"";
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
      error = argument.compare(0, 1, "-") == 0 ? "unknown option " + name
                                               : "unexpected argument \"" + argument + "\"";
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
      SinkSpec spec;
      if (!ParseSinkOption(value, sink, spec, error)) return false;
      if (!options.sinks.emplace(sink, spec).second) {
        error = "--sink " + sink + " given twice";
        return false;
      }
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
  }

  if (options.conf.empty()) {
    error = "--conf FILE is required";
    return false;
  }
  if (options.events.empty()) {
    error = "--events SCRIPT is required";
    return false;
  }
  return true;
}

}  // namespace kdreplay
