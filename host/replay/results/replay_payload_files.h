// Payload files read back: what a dir sink wrote (replay_dir_sink.h), in any of its encodings
// (JSON text or MessagePack, each plain or gzip-compressed, told apart by the file name).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kdreplay {

// The payload files among paths: a file is taken as given, a folder gives its files whose names
// end in ".json" or ".msgpack" (with or without ".gz"), hidden ones left out. Each group is in
// the order of its names with their numbers compared as numbers, so that "x-2" comes before
// "x-10". False, with the path and the reason in error, for a path that cannot be read.
bool ListPayloadFiles(const std::vector<std::string>& paths, std::vector<std::string>& files,
                      std::string& error);

// The payload in file. False, with the file and the reason in error, when it cannot be read or
// decoded.
bool ReadPayloadFile(const std::string& file, nlohmann::json& payload, std::string& error);

// What the index of a payload file's directory says of it.
struct IndexedFile {
  uint32_t record_type = 0;  // 0: not listed, or no type named
  std::string run;           // the run that wrote it; empty: not said
  std::string probe;
};

// The record types and runs of payload files, as the index of each file's directory lists them
// (see DirectorySink); the index is read once per directory.
class PayloadIndex {
 public:
  IndexedFile Lookup(const std::string& file);
  uint32_t RecordTypeOf(const std::string& file) { return Lookup(file).record_type; }

 private:
  std::map<std::string, std::map<std::string, IndexedFile>> directories_;  // directory: file
};

// Whether payload's window starts in [from, to): a payload without log_time_start is only kept
// when the range is the whole of time.
bool InTimeRange(const nlohmann::json& payload, int64_t from, int64_t to);

}  // namespace kdreplay
