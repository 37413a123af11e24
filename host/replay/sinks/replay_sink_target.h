// Where the payloads dispatched to one sink go: the --sink option as the command line gives it
// and the router serves it.
#pragma once

#include <string>

namespace kdreplay {

struct SinkTarget {
  enum class Kind { kStdout, kDirectory, kSqlite, kKafka };
  Kind kind = Kind::kStdout;
  std::string path;          // kDirectory, kSqlite: the directory or database file
  std::string brokers = {};  // kKafka: host:port[,host:port...]
  std::string topic = {};    // kKafka
};

}  // namespace kdreplay
