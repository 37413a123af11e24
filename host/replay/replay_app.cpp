#include "replay_app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "korviad/kd_instance.h"
#include "korviad/kd_log.h"
#include "replay_capture_source.h"
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
    if (!source->Open()) return kExitFailure;
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

  LineWriter out(stdout);
  PayloadRouter router(options.sinks, out, options.pretty);
  if (!router.Prepare(error)) {
    Report("%s", error.c_str());
    return kExitFailure;
  }

  kdInstance instance;
  router.Attach();
  RunSummary summary;
  if (options.summary) summary.Attach();
  PluginRunner runner(instance, out, options.tag);
  try {
    runner.Start(plugin_path, options.conf);
  } catch (const std::exception& e) {
    Report("%s", e.what());
    return kExitFailure;
  }

  bool completed = false;
  if (capture) {
    completed = source->Play(runner);
  } else {
    ScriptPlayer player(script, options.conf);
    completed = player.Play(runner);
  }
  runner.Stop();
  router.Detach();
  summary.Detach();
  if (options.summary) {
    for (const std::string& line : summary.Lines()) out.Write(line);
  }
  fflush(stdout);

  if (!completed || router.failures() > 0 || out.failures() > 0) return kExitFailure;
  return runner.HadPluginErrors() ? kExitPluginErrors : kExitOk;
}

}  // namespace kdreplay
