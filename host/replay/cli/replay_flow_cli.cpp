#include "replay_flow_cli.h"

#include <cstdlib>

namespace kdreplay {

namespace {

bool ParseNumber(const std::string& name, const std::string& value, uint64_t low, uint64_t high,
                 uint64_t& number, std::string& error) {
  char* end = nullptr;
  number = strtoull(value.c_str(), &end, 10);
  if (value.empty() || value.size() > 10 ||
      value.find_first_not_of("0123456789") != std::string::npos || number < low || number > high) {
    error = name + " must be a whole number from " + std::to_string(low) + " to " +
            std::to_string(high) + ", got \"" + value + "\"";
    return false;
  }
  return true;
}

}  // namespace

bool AddListen(const std::string&, const std::string& value, Options& options, std::string& error) {
  FlowEndpoint endpoint;
  if (!ParseFlowEndpoint(value, true, endpoint, error)) return false;
  for (const FlowEndpoint& other : options.listen.endpoints) {
    if (other.text == value) {
      error = "--listen " + value + " given twice";
      return false;
    }
  }
  options.listen.endpoints.push_back(endpoint);
  return true;
}

bool SetListenBuffer(const std::string& name, const std::string& value, Options& options,
                     std::string& error) {
  uint64_t mib = 0;
  if (!ParseNumber(name, value, 1, 2047, mib, error)) return false;
  options.listen.buffer_mib = static_cast<int>(mib);
  return true;
}

bool SetExport(const std::string&, const std::string& value, Options& options, std::string& error) {
  if (!ParseFlowEndpoint(value, false, options.export_flows.collector, error)) return false;
  options.export_flows.enabled = true;
  return true;
}

bool SetExportNumber(const std::string& name, const std::string& value, Options& options,
                     std::string& error) {
  FlowExportOptions& e = options.export_flows;
  struct Number {
    const char* name;
    uint32_t* member;
    uint64_t low, high;
  } const numbers[] = {
      {"--export-domain", &e.domain, 0, 0xFFFFFFFF},
      {"--export-active", &e.active_seconds, 1, 86400},
      {"--export-inactive", &e.inactive_seconds, 1, 86400},
      {"--export-template-datagrams", &e.template_datagrams, 1, 1000000},
      {"--export-template-seconds", &e.template_seconds, 1, 86400},
  };
  for (const Number& number : numbers) {
    if (name != number.name) continue;
    uint64_t parsed = 0;
    if (!ParseNumber(name, value, number.low, number.high, parsed, error)) return false;
    *number.member = static_cast<uint32_t>(parsed);
    return true;
  }
  error = "unknown option " + name;
  return false;
}

bool SetExportBiflow(const std::string&, const std::string&, Options& options, std::string&) {
  options.export_flows.biflow = true;
  return true;
}

bool CheckFlowOptions(const Options& options, const std::set<std::string>& seen,
                      std::string& error) {
  const bool listen = !options.listen.endpoints.empty();
  if (listen && (!options.pcaps.empty() || !options.events.empty())) {
    error = std::string("--listen cannot be combined with ") +
            (options.pcaps.empty() ? "--events" : "--pcap") +
            " (it collects live, beside --live interfaces)";
    return false;
  }
  if (!listen && seen.count("--listen-buffer") > 0) {
    error = "--listen-buffer applies to --listen only";
    return false;
  }
  if (listen && options.live.empty() && (!options.filter.empty() || options.count != 0)) {
    error = std::string(options.count != 0 ? "--count" : "--filter") +
            " applies to --pcap and --live only";
    return false;
  }
  if (options.export_flows.enabled && options.pcaps.empty() && options.live.empty()) {
    error = "--export sends the flows of --pcap or --live; give one of them";
    return false;
  }
  for (const char* name : {"--export-domain", "--export-active", "--export-inactive",
                           "--export-template-datagrams", "--export-template-seconds"}) {
    if (!options.export_flows.enabled && seen.count(name) > 0) {
      error = std::string(name) + " applies to --export only";
      return false;
    }
  }
  if (options.export_flows.biflow &&
      options.export_flows.collector.scheme != FlowEndpoint::Scheme::kIpfix) {
    error = "--export-biflow applies to --export ipfix:// only";
    return false;
  }
  return true;
}

}  // namespace kdreplay
