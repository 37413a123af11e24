#include "replay_app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <set>

#include "korviad/kd_instance.h"
#include "korviad/kd_log.h"
#include "replay_capture_clock.h"
#include "replay_capture_source.h"
#include "replay_conf_check.h"
#include "replay_csv.h"
#include "replay_line_writer.h"
#include "replay_metrics_server.h"
#include "replay_plugin_conf.h"
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
  capture.count = options.count;
  capture.duration = options.duration;
  capture.give_up = options.give_up;
  capture.realtime = options.realtime;
  capture.progress = options.progress;
  capture.listen = options.listen;
  capture.export_flows = options.export_flows;
  return capture;
}

// Warns about what the plugin would pass over in silence. Returns the --sink names that the
// configuration does not have.
std::set<std::string> WarnAboutConf(const Options& options, const PluginConf& conf) {
  std::set<std::string> unconfigured;
  if (!conf.parsed()) return unconfigured;
  const nlohmann::json& document = conf.document();
  for (const std::string& message : UnknownKeys(document))
    Report("%s: %s", options.conf.c_str(), message.c_str());
  std::string ignored = IgnoredRecordType(document);
  if (!ignored.empty()) Report("%s: %s", options.conf.c_str(), ignored.c_str());
  for (const std::string& message : IgnoredValues(document))
    Report("%s: %s", options.conf.c_str(), message.c_str());
  std::vector<std::string> sinks;
  for (const auto& entry : options.sinks) sinks.push_back(entry.first);
  for (const std::string& sink : UnconfiguredSinks(document, sinks)) {
    Report("--sink %s: %s configures no sink of that name", sink.c_str(), options.conf.c_str());
    unconfigured.insert(sink);
  }
  return unconfigured;
}

// What the run reads: an event script, or the captures (files or interfaces) opened.
struct Input {
  Script script;
  std::unique_ptr<CaptureSource> capture;
};

// Reads the script or opens the captures before the plugin starts, so that a bad input stops
// the run with nothing done. Returns the exit status.
int OpenInput(const Options& options, Input& input) {
  std::string error;
  if (!options.events.empty()) {
    try {
      if (ReadScript(options.events, input.script, error)) return kExitOk;
    } catch (const std::exception& e) {
      // A script is held whole, so a large one can run out of memory.
      error = e.what();
    }
    Report("%s", error.c_str());
    return kExitConfigRefused;
  }
  input.capture = std::make_unique<CaptureSource>(MakeCaptureOptions(options));
  bool filter_error = false;
  if (input.capture->Open(error, filter_error)) return kExitOk;
  Report("%s", error.c_str());
  // A filter libpcap refuses is a mistake on the command line.
  return filter_error ? kExitUsage : kExitConfigRefused;
}

// The plugin named on the command line, or the one beside the program.
bool PluginPath(const Options& options, std::string& path) {
  path = options.plugin;
  std::string error;
  if (path.empty() && !FindDefaultPlugin(path, error)) {
    Report("%s", error.c_str());
    return false;
  }
  return true;
}

// Starts the plugin, plays the input through it and stops it. A file replay gives the plugin's
// threads capture time; a live capture keeps the system's clock. Returns the exit status, with
// completed telling whether the input was played to its end.
int PlayThroughPlugin(const Options& options, Input& input, const std::string& plugin_path,
                      const PluginConf& conf, PluginRunner& runner, bool& completed) {
  const bool capture_time =
      input.capture && options.live.empty() && options.listen.endpoints.empty();
  // Live windows start on the boundary the plugin starts on; an interrupt while waiting for it
  // ends the run as it would end the capture.
  if (input.capture && !input.capture->StartWindows(options.align)) {
    completed = true;
    return kExitOk;
  }
  // Whatever ends the run, the clock lets the threads go before the plugin is unloaded.
  std::unique_ptr<CaptureClock, void (*)(CaptureClock*)> disable_clock(
      &CaptureClock::Instance(), [](CaptureClock* clock) { clock->Disable(); });
  // The threads follow the clock from their start, so it is enabled before the plugin's.
  if (capture_time) CaptureClock::Instance().Enable();
  std::string error;
  if (!runner.Start(plugin_path, options.conf, error)) {
    Report("%s", error.c_str());
    return kExitConfigRefused;
  }
  if (conf.parsed() && FailsLateInLoad(conf.document())) {
    Report("%s: %s", options.conf.c_str(), PluginRunner::kLoadFailed);
    return kExitConfigRefused;
  }
  if (input.capture) {
    completed = input.capture->Play(runner);
  } else {
    ScriptPlayer player(input.script, options.conf);
    completed = player.Play(runner);
  }
  // Capture time stands still while the plugin stops, so that its last pass closes the last
  // window at its capture time.
  if (capture_time) CaptureClock::Instance().Finish();
  runner.Stop();
  return kExitOk;
}

// The summary or the CSV rows after the payload lines.
void WriteResults(const Options& options, const RunSummary& summary, const CsvCollector& csv,
                  LineWriter& out) {
  if (options.summary) WriteResultLines(out, summary.Lines(), "the summary");
  if (options.csv) {
    WriteResultLines(out, csv.Lines(), "the CSV rows");
    if (csv.left_out() > 0)
      Report("%llu payload(s) without flat rows left out of the CSV",
             static_cast<unsigned long long>(csv.left_out()));
  }
}

// Serves the run's counters when --metrics asks, saying where (port 0 becomes the one taken).
bool ServeMetrics(const Options& options, MetricsServer& server) {
  if (options.metrics.empty()) return true;
  std::string error;
  bool started;
  {
    // Its threads inherit the mask: signals keep reaching the thread that waits for them.
    SignalsBlocked blocked;
    started = server.Start(options.metrics, error);
  }
  if (!started) {
    Report("%s", error.c_str());
    return false;
  }
  const std::string address = options.metrics.substr(0, options.metrics.rfind(':'));
  Report("metrics at http://%s:%d/metrics", address.c_str(), server.port());
  return true;
}

}  // namespace

int RunReplay(const Options& options) {
  InstallSignalHandlers();
  kdLog::SetDebug(options.debug);

  Input input;
  const int opened = OpenInput(options, input);
  if (opened != kExitOk) return opened;
  if (!CheckConf(options.conf, input.script.rewrites_conf)) return kExitConfigRefused;
  std::string plugin_path;
  if (!PluginPath(options, plugin_path)) return kExitConfigRefused;

  const PluginConf conf = IsOurPlugin(plugin_path) ? PluginConf::Read(options.conf) : PluginConf();
  // The directory of a sink the configuration lacks is made only if a reload adds the sink.
  const std::set<std::string> unconfigured = WarnAboutConf(options, conf);
  // The tracker delivers every packet's flow by the end of the window that holds it: exactly in a
  // file replay, whose windows follow capture time; live, to within the moment between the
  // capture's start and the plugin's.
  if (input.capture && conf.ReportInterval() > 0)
    input.capture->FollowWindows(conf.ReportInterval() * 1'000'000);

  std::string error;
  RunIdentity run;
  const std::vector<std::string> inputs =
      options.events.empty() ? options.pcaps : std::vector<std::string>{options.events};
  if (!MakeRunIdentity(inputs, options.probe, options.append, run, error)) {
    Report("%s", error.c_str());
    return kExitConfigRefused;
  }
  RunCounters counters;  // what --metrics serves and SIGUSR1 writes
  if (input.capture) input.capture->CountInto(counters);
  LineWriter out(stdout);
  // With --csv the rows replace the payload lines on standard output.
  LineWriter discarded(nullptr);
  PayloadRouter router(options.sinks, options.csv ? discarded : out, options.pretty,
                       options.kafka_properties, run);
  // Counting a payload's bytes costs a pass over it: only when someone may ask.
  if (!options.metrics.empty()) router.CountInto(counters);
  if (!router.Prepare(error, unconfigured)) {
    Report("%s", error.c_str());
    return kExitConfigRefused;
  }
  kdInstance instance;
  PluginRunner runner(instance, out, options.tag);
  runner.CountInto(counters);
  counters.SetSampleSource([&runner](uint64_t& samples) { return runner.Samples(samples); });
  MetricsServer metrics(counters);
  if (!ServeMetrics(options, metrics)) return kExitFailure;
  // Every payload's record type is the one the plugin names as it dispatches.
  const RecordTypeSource record_type = [&runner] { return runner.RecordType(); };
  // The summary and the CSV count what a sink stored, not what was lost on the way.
  RunSummary summary(options.top, options.order);
  CsvCollector csv(run.id, run.probe);
  router.OnStored([&options, &summary, &csv](const std::string& sink, const std::string& channel,
                                             const nlohmann::json& payload, uint32_t type) {
    if (options.summary) summary.Observe(sink, {channel}, payload, type);
    if (options.csv) csv.Observe(sink, {channel}, payload, type);
  });
  router.Attach(record_type);
  bool completed = false;
  const int played = PlayThroughPlugin(options, input, plugin_path, conf, runner, completed);
  if (played != kExitOk) return played;

  router.Detach();
  router.Close();
  WriteResults(options, summary, csv, out);
  if (input.capture && input.capture->GaveUp()) return kExitInputsLost;
  if (!completed || router.failures() > 0 || out.failures() > 0) return kExitFailure;
  // A service manager stops a live capture so: what the plugin raised was reported on the way,
  // and any other status would mark a cleanly stopped service as failed.
  if (!options.live.empty() && StoppedBySignal()) return kExitOk;
  return runner.HadPluginErrors() ? kExitPluginErrors : kExitOk;
}

}  // namespace kdreplay
