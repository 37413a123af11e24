// Serves a run's counters (replay_counters.h) at http://ADDR:PORT/metrics in the Prometheus text
// format, through prometheus-cpp's exposer and its HTTP threads. Every scrape reads the counters
// as they stand at that moment; nothing is copied between scrapes. docs/metrics.md lists the
// metrics.
#pragma once

#include <memory>
#include <string>

#include "replay_counters.h"

namespace prometheus {
class Exposer;
}

namespace kdreplay {

class MetricsServer {
 public:
  // counters must outlive the server.
  explicit MetricsServer(const RunCounters& counters);
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;
  // Stops serving; returns once no scrape runs any more.
  ~MetricsServer();

  // Listens on address, "ADDR:PORT" with an IPv4 address of this machine or a name that resolves
  // to one (the library's server is built without IPv6); port 0 takes a free one. False with the
  // reason in error when it cannot listen there.
  bool Start(const std::string& address, std::string& error);
  // The port listened on; 0 before Start.
  int port() const { return port_; }

 private:
  class Collector;

  const RunCounters& counters_;
  std::shared_ptr<Collector> collector_;
  std::unique_ptr<prometheus::Exposer> exposer_;
  int port_ = 0;
};

}  // namespace kdreplay
