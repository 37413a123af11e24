// The host's json channel as the benchmarks see it: every payload dispatched while it lives is
// serialised to JSON text, as a json-format sink channel writes it.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace kppbench {

// The text a json channel makes of payload.
std::string SerialisePayload(const nlohmann::json& payload);

class JsonChannel {
 public:
  // keep: also keep a copy of the last payload (for building a floor).
  explicit JsonChannel(bool keep = false);
  ~JsonChannel();
  JsonChannel(const JsonChannel&) = delete;
  JsonChannel& operator=(const JsonChannel&) = delete;

  uint64_t payloads() const { return payloads_; }
  uint64_t bytes() const { return bytes_; }
  const nlohmann::json& last() const { return last_; }

 private:
  uint64_t id_ = 0;
  bool keep_;
  uint64_t payloads_ = 0;
  uint64_t bytes_ = 0;
  nlohmann::json last_;
};

}  // namespace kppbench
