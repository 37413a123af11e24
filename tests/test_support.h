// Helpers shared by the tests: scratch directories, captured log lines and payloads, plugins
// built on a scratch configuration, and flows.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "korviad/korviad.h"

namespace testing_support {

using nlohmann::json;

// A directory that is removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/korvia-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0) {
    }
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
    out << content;
    return File(name);
  }

 private:
  std::string path_;
};

// Every line logged while it lives. Silences standard error meanwhile.
class LogCapture {
 public:
  LogCapture() {
    kdLog::SetEcho(false);
    id_ = kdLog::AddObserver([this](bool debug, const std::string& line) {
      std::lock_guard<std::mutex> guard(lock_);
      lines_.push_back({debug, line});
    });
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() {
    kdLog::RemoveObserver(id_);
    kdLog::SetEcho(true);
  }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> out;
    for (const auto& line : lines_) out.push_back(line.text);
    return out;
  }
  // Number of lines containing text.
  size_t Count(const std::string& text) const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t n = 0;
    for (const auto& line : lines_) n += line.text.find(text) != std::string::npos;
    return n;
  }
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.clear();
  }

 private:
  struct Line {
    bool debug;
    std::string text;
  };
  mutable std::mutex lock_;
  std::vector<Line> lines_;
  uint64_t id_ = 0;
};

// Every payload dispatched while it lives, one entry per channel call.
class SinkCapture {
 public:
  struct Dispatch {
    std::string sink;
    std::string channel;
    uint32_t flags;
    json payload;
  };

  SinkCapture() {
    id_ = kdSinkRegistry::AddObserver([this](const std::string& sink,
                                             const std::set<std::string>& channels,
                                             const json& payload, uint32_t flags) {
      if (fail_) throw std::runtime_error("sink refused the payload");
      std::lock_guard<std::mutex> guard(lock_);
      for (const auto& channel : channels) dispatches_.push_back({sink, channel, flags, payload});
    });
  }
  SinkCapture(const SinkCapture&) = delete;
  SinkCapture& operator=(const SinkCapture&) = delete;
  ~SinkCapture() { kdSinkRegistry::RemoveObserver(id_); }

  std::vector<Dispatch> Dispatches() const {
    std::lock_guard<std::mutex> guard(lock_);
    return dispatches_;
  }
  size_t Size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return dispatches_.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    dispatches_.clear();
  }
  // Makes every later dispatch throw.
  void SetFailing(bool fail) { fail_ = fail; }

 private:
  mutable std::mutex lock_;
  std::vector<Dispatch> dispatches_;
  std::atomic<bool> fail_{false};
  uint64_t id_ = 0;
};

// Waits until done() holds or a generous deadline passes; returns done().
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  auto until = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline kdAddr Addr(const std::string& text, uint16_t port = 0) {
  kdAddr addr;
  if (!addr.Parse(text)) throw std::runtime_error("bad address in test: " + text);
  if (port != 0) addr.SetPort(port, true);
  return addr;
}

// A flow that every record type accepts: detection complete, packets on both sides, endpoint A
// local, one digest, on interface eth0 (internal).
inline std::shared_ptr<kdFlow> MakeFlow() {
  auto flow = std::make_shared<kdFlow>();
  auto iface = std::make_shared<kdInterface>();
  iface->name = "eth0";
  iface->role = kdInterface::kRoleInternal;
  flow->iface = iface;
  flow->endpoint_map = 1;
  flow->origin = 1;
  flow->dpi_complete = true;
  flow->ip_version = 4;
  flow->ip_protocol = 6;
  flow->mac_a = Addr("00:11:22:33:44:55");
  flow->mac_b = Addr("66:77:88:99:aa:bb");
  flow->addr_a = Addr("10.0.0.1", 50000);
  flow->addr_b = Addr("192.0.2.7", 443);
  flow->bytes_a = 1000;
  flow->bytes_b = 5000;
  flow->packets_a = 10;
  flow->packets_b = 5;
  flow->digests = {0x1234};
  flow->flow_digest = 0x1234;
  flow->detected_protocol = 91;
  flow->detected_protocol_name = "TLS";
  flow->detected_application = 10;
  flow->detected_application_name = "example";
  return flow;
}

// A flow map holding flows in one bucket, under keys 0, 1, 2, ...
inline std::unique_ptr<kdFlowMap> MakeFlowMap(const std::vector<std::shared_ptr<kdFlow>>& flows,
                                              size_t buckets = 1) {
  auto map = std::make_unique<kdFlowMap>(buckets);
  for (size_t i = 0; i < flows.size(); ++i) {
    auto& bucket = map->Acquire(i % buckets);
    bucket[i] = flows[i];
    map->Release(i % buckets);
  }
  return map;
}

}  // namespace testing_support
