// A directory that receives one file per dispatched payload:
//   PATH/SINK-CHANNEL-SEQ.EXT
// or, when the last component of the path given holds a "%", the folder before it receives
//   PATH/TIME-SINK-CHANNEL-SEQ.EXT
// where TIME is that component with the strftime conversions of the payload's log_time_start
// in UTC (the time of writing for a payload without one), made safe as SafeFileName does.
// Directory components may hold conversions too (PATH/%Y/%m/%d): from the first that holds a "%"
// on, each is expanded for the payload in the same way, made safe, and created when missing.
// SEQ counts per file name stem SINK-CHANNEL (or TIME-SINK-CHANNEL), from 1 or from after the
// highest SEQ that the directory already holds for that stem (so that a later run adds files
// instead of overwriting them, and two sink/channel pairs whose safe names coincide share one
// count); EXT follows the dispatch flags (see replay_payload_encoding.h). A file appears complete
// or not at all: it is written under a temporary name in the same directory and renamed.
//
// Each file written is then listed in the directory's index (kPayloadIndexName,
// replay_record_type.h), so that a reader knows which record type a file holds without guessing
// it from its members (0 when the plugin did not say), and which run wrote it ("run", "probe").
// The runs list (kRunIndexName) in PATH itself, before any pattern, has one line per run that
// wrote there: {"run", "probe", "started", "inputs": [{"name", "fingerprint"}]}. A sink whose
// runs list names one of its run's inputs refuses to write (unless the run says append).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "replay_record_type.h"
#include "replay_run_identity.h"

namespace kdreplay {

// name with every character other than a letter, digit, ".", "_" or "-" replaced by "_" (a
// multi-byte UTF-8 character becomes one "_"), cut to kMaxSafeName characters. The result never
// contains "/" and so never leaves the directory it is used in.
constexpr size_t kMaxSafeName = 100;

// The runs list of a dir sink's directory.
constexpr const char* kRunIndexName = ".korvia-runs.jsonl";
std::string SafeFileName(const std::string& name);

class DirectorySink {
 public:
  // A run without an ID (tests) lists no run.
  explicit DirectorySink(const std::string& path, const RunIdentity& run = {});
  DirectorySink(const DirectorySink&) = delete;
  DirectorySink& operator=(const DirectorySink&) = delete;

  const std::string& path() const { return path_; }

  // Creates the directory and its parents if missing and checks that no earlier run wrote the
  // results of this run's inputs there. False with a reason in error otherwise. The first Write
  // does it when Prepare was not called.
  bool Prepare(std::string& error);

  // Writes one payload, whose records are of record_type, and lists it in the index. False, with
  // the file and the cause in error, when it cannot.
  bool Write(const std::string& sink, const std::string& channel, const nlohmann::json& payload,
             uint32_t flags, uint32_t record_type, std::string& error);

 private:
  bool PrepareLocked(std::string& error);
  uint64_t NextSequence(const std::string& directory, const std::string& stem);
  uint64_t HighestExisting(const std::string& directory, const std::string& stem) const;
  // The directory a payload's file goes to: path_, or below it the expanded directory patterns.
  std::string Directory(const nlohmann::json& payload) const;
  bool WriteFile(const std::string& directory, const std::string& final_name,
                 const std::string& bytes, std::string& error);
  bool AppendLine(const std::string& file, const nlohmann::json& line, std::string& error);
  bool CheckEarlierRuns(std::string& error) const;
  bool RegisterRun(std::string& error);

  std::string Stem(const std::string& sink, const std::string& channel,
                   const nlohmann::json& payload) const;

  std::string path_;  // the directory made by Prepare, before any pattern
  const RunIdentity run_;
  bool registered_ = false;        // the run is in the runs list
  std::string directory_pattern_;  // directory components with conversions; empty: none
  std::string pattern_;            // file-name pattern with the window's start time; empty: none
  std::mutex lock_;
  std::map<std::pair<std::string, std::string>, uint64_t> sequence_;  // (directory, stem): last
  std::set<std::string> made_;  // expanded directories made so far
  uint64_t temp_counter_ = 0;
  bool prepared_ = false;
};

}  // namespace kdreplay
