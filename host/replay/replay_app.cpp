#include "replay_app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include "korviad/kd_instance.h"
#include "korviad/kd_log.h"
#include "replay_capture_clock.h"
#include "replay_capture_source.h"
#include "replay_conf_check.h"
#include "replay_csv.h"
#include "replay_line_writer.h"
#include "replay_plugin_path.h"
#include "replay_report.h"
#include "replay_runner.h"
#include "replay_script.h"
#include "replay_script_player.h"
#include "replay_signals.h"
#include "replay_sink_router.h"
#include "replay_summary.h"

namespace kdreplay {

namespace {

// The configuration must be a readable file, and writable when the script rewrites it.
bool CheckConf(const std::string& path, bool rewritten) {
  struct stat info;
  int error = 0;
  if (stat(path.c_str(), &info) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;
  } else if (access(path.c_str(), R_OK) != 0 || (rewritten && access(path.c_str(), W_OK) != 0)) {
    error = errno;
  }
  if (error != 0) {
    Report("%s: %s", path.c_str(), strerror(error));
    return false;
  }
  return true;
}

CaptureOptions MakeCaptureOptions(const Options& options) {
  CaptureOptions capture;
  capture.files = options.pcaps;
  capture.live = options.live;
  capture.filter = options.filter;
  if (options.snaplen != 0) capture.live_options.snaplen = options.snaplen;
  if (options.buffer_mib != 0) capture.live_options.buffer_mib = options.buffer_mib;
  capture.role = options.iface_role;
  if (!options.local_nets.empty()) {
    capture.local_networks = kdLocalNetworks();
    for (const std::string& cidr : options.local_nets) capture.local_networks.Add(cidr);
  }
  capture.update_interval_us = static_cast<uint64_t>(options.update_interval * 1e6);
  capture.max_flows = options.max_flows;
  capture.realtime = options.realtime;
  capture.progress = options.progress;
  return capture;
}

// The configuration as our plugin reads it; discarded when it is not JSON (the plugin's first
// load then fails on its own).
nlohmann::json ReadConfDocument(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return nlohmann::json::parse(text, nullptr, false, true);
}

// Warns about what the plugin would pass over in silence. Returns the --sink names that the
// configuration does not have.
std::set<std::string> WarnAboutConf(const Options& options, const nlohmann::json& document) {
  std::set<std::string> unconfigured;
  if (document.is_discarded()) return unconfigured;
  for (const std::string& message : UnknownKeys(document))
    Report("%s: %s", options.conf.c_str(), message.c_str());
  std::string ignored = IgnoredRecordType(document);
  if (!ignored.empty()) Report("%s: %s", options.conf.c_str(), ignored.c_str());
  std::vector<std::string> sinks;
  for (const auto& entry : options.sinks) sinks.push_back(entry.first);
  for (const std::string& sink : UnconfiguredSinks(document, sinks)) {
    Report("--sink %s: %s configures no sink of that name", sink.c_str(), options.conf.c_str());
    unconfigured.insert(sink);
  }
  return unconfigured;
}

}  // namespace

int RunReplay(const Options& options) {
  InstallSignalHandlers();
  kdLog::SetDebug(options.debug);

  // The input is read (a script) or opened (capture files, an interface) before the plugin
  // starts, so that a bad one stops the run with nothing done.
  bool capture = options.events.empty();
  Script script;
  std::unique_ptr<CaptureSource> source;
  if (capture) {
    source = std::make_unique<CaptureSource>(MakeCaptureOptions(options));
    int opened = source->Open();
    if (opened != kExitOk) return opened;
  } else {
    try {
      script = ReadScript(options.events);
    } catch (const std::exception& e) {
      Report("%s", e.what());
      return kExitFailure;
    }
  }
  if (!CheckConf(options.conf, script.rewrites_conf)) return kExitFailure;

  std::string plugin_path = options.plugin;
  std::string error;
  if (plugin_path.empty() && !FindDefaultPlugin(plugin_path, error)) {
    Report("%s", error.c_str());
    return kExitFailure;
  }

  bool ours = IsOurPlugin(plugin_path);
  nlohmann::json document = ours ? ReadConfDocument(options.conf) : nlohmann::json();
  // The directory of a sink the configuration lacks is made only if a reload adds the sink.
  std::set<std::string> unconfigured;
  if (ours) unconfigured = WarnAboutConf(options, document);
  // Traffic reaches a window to within one tracker update, so in a file replay an update never
  // spans more than a window.
  if (capture && options.live.empty() && document.is_object()) {
    auto interval = document.find("log_interval");
    if (interval != document.end() && interval->is_number_unsigned() && *interval > 0)
      source->LimitUpdateInterval(interval->get<uint64_t>() * 1'000'000);
  }

  LineWriter out(stdout);
  // With --csv the rows replace the payload lines on standard output.
  std::unique_ptr<FILE, int (*)(FILE*)> discard(options.csv ? fopen("/dev/null", "w") : nullptr,
                                                fclose);
  if (options.csv && !discard) {
    Report("/dev/null: %s", strerror(errno));
    return kExitFailure;
  }
  LineWriter payload_out(options.csv ? discard.get() : stdout);
  PayloadRouter router(options.sinks, options.csv ? payload_out : out, options.pretty,
                       options.kafka_properties);
  if (!router.Prepare(error, unconfigured)) {
    Report("%s", error.c_str());
    return kExitFailure;
  }

  kdInstance instance;
  router.Attach();
  RunSummary summary(options.top, options.order);
  if (options.summary) summary.Attach();
  CsvCollector csv;
  if (options.csv) csv.Attach();
  PluginRunner runner(instance, out, options.tag);
  // A file replay gives the plugin's threads capture time; a live capture keeps the system's
  // clock. The threads follow the clock from their start, so it is enabled before the plugin's.
  const bool capture_time = capture && options.live.empty();
  // Whatever ends the run, the clock lets the threads go before the plugin is unloaded.
  std::unique_ptr<CaptureClock, void (*)(CaptureClock*)> disable_clock(
      &CaptureClock::Instance(), [](CaptureClock* clock) { clock->Disable(); });
  if (capture_time) CaptureClock::Instance().Enable();
  try {
    runner.Start(plugin_path, options.conf);
  } catch (const std::exception& e) {
    Report("%s", e.what());
    return kExitFailure;
  }
  if (ours && !document.is_discarded() && FailsLateInLoad(document)) {
    Report("%s: %s", options.conf.c_str(), PluginRunner::kLoadFailed);
    return kExitFailure;
  }

  bool completed = false;
  if (capture) {
    completed = source->Play(runner);
  } else {
    ScriptPlayer player(script, options.conf);
    completed = player.Play(runner);
  }
  // Capture time stands still while the plugin stops, so that its last pass closes the last
  // window at its capture time.
  if (capture_time) CaptureClock::Instance().Finish();
  runner.Stop();
  if (capture_time) CaptureClock::Instance().Disable();
  router.Detach();
  router.Close();
  summary.Detach();
  csv.Detach();
  if (options.summary) {
    for (const std::string& line : summary.Lines()) out.Write(line);
  }
  if (options.csv) {
    for (const std::string& line : csv.Lines()) out.Write(line);
    if (csv.left_out() > 0)
      Report("%llu payload(s) without flat rows left out of the CSV",
             static_cast<unsigned long long>(csv.left_out()));
  }
  fflush(stdout);

  if (!completed || router.failures() > 0 || out.failures() > 0) return kExitFailure;
  return runner.HadPluginErrors() ? kExitPluginErrors : kExitOk;
}

}  // namespace kdreplay
