#include "replay_script_player.h"

#include <chrono>
#include <fstream>
#include <thread>

#include "replay_report.h"
#include "replay_signals.h"

namespace kdreplay {

namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

// Sleeps in short steps so that signals are served promptly.
void Sleep(uint32_t ms, EventTarget& target) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!InterruptRequested()) {
    ServeSignalRequests(target);
    auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
  }
}

}  // namespace

ScriptPlayer::ScriptPlayer(const Script& script, std::string conf_path)
    : script_(script), conf_path_(std::move(conf_path)) {}

bool ScriptPlayer::Play(EventTarget& target) {
  for (const ScriptLine& line : script_.lines) {
    const std::string where = script_.name + ":" + std::to_string(line.line);
    ServeSignalRequests(target);
    if (InterruptRequested()) {
      if (StoppedBySignal()) Report("%s: interrupted; stopping the plugin", where.c_str());
      return false;
    }
    // The line was validated before the run, so only the host itself can fail here (memory).
    try {
      EventBody event;
      std::string error;
      if (!ParseEvent(line.text, script_.name, line.line, event, error)) {
        Report("%s", error.c_str());
        return false;
      }
      if (!PlayOne(where, event, target)) return false;
    } catch (const std::exception& e) {
      Report("%s: %s", where.c_str(), e.what());
      return false;
    }
  }
  return true;
}

bool ScriptPlayer::RewriteConf(const std::string& where, const std::string& text) {
  // Rewritten in place, so that the file keeps its permissions and a link stays a link.
  std::ofstream out(conf_path_, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    Report("%s: cannot rewrite the configuration file %s", where.c_str(), conf_path_.c_str());
    return false;
  }
  return true;
}

bool ScriptPlayer::PlayOne(const std::string& where, const EventBody& event, EventTarget& target) {
  return std::visit(Overloaded{
                        [&](const FlowsEvent& e) {
                          // A fresh map of fresh flows per event: nothing the plugin does to one
                          // delivery can leak into the next.
                          kdFlowMap map(e.buckets);
                          for (size_t i = 0; i < e.flows.size(); ++i) {
                            kdFlowMap::Bucket& bucket = map.Acquire(i % e.buckets);
                            bucket[i] = std::make_shared<kdFlow>(*e.flows[i]);
                            map.Release(i % e.buckets);
                          }
                          target.DeliverFlowMap(where, map, e.value);
                          return true;
                        },
                        [&](const FlowEvent& e) {
                          target.DeliverFlow(where, std::make_shared<kdFlow>(*e.flow), e.value);
                          return true;
                        },
                        [&](const StatsEvent& e) {
                          kdPacketStats stats = e.stats;
                          target.DeliverStats(where, e.iface, stats);
                          return true;
                        },
                        [&](const ReloadEvent& e) {
                          if (e.conf_text && !RewriteConf(where, *e.conf_text)) return false;
                          target.Reload(where);
                          return true;
                        },
                        [&](const LinkEvent& e) {
                          target.SetLinkAddress(e.index, e.mac ? &*e.mac : nullptr);
                          return true;
                        },
                        [&](const StatusEvent&) {
                          target.WriteStatus(where);
                          return true;
                        },
                        [&](const SleepEvent& e) {
                          Sleep(e.ms, target);
                          return true;
                        },
                    },
                    event);
}

}  // namespace kdreplay
