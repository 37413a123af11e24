// Where and when a run's results came from. Every sink that stores results keeps the run ID and
// the probe's name beside them, and the inputs' fingerprints let a sink that already holds the
// results of a capture file refuse to store them a second time (unless the user says --append).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kdreplay {

// One replayed file: its name as given and a fingerprint of its content, so that a copy under
// another name is the same input. Standard input has no fingerprint and is never matched.
struct RunInput {
  std::string name;
  std::string fingerprint;  // empty: cannot be told again
};

struct RunIdentity {
  std::string id;       // time-ordered and unique (a UUID of version 7)
  std::string probe;    // --probe, by default the host name
  int64_t started = 0;  // Unix seconds
  std::vector<RunInput> inputs;
  bool append = false;  // --append: store results of inputs a sink already holds
};

// A new UUID of version 7: the Unix time in milliseconds, then random bits. IDs made later sort
// after earlier ones as text.
std::string NewRunId();

// The host name, or "localhost" when the system has none.
std::string HostName();

// "SIZE-HASH": the file's size and a 64-bit FNV-1a hash of its first and last MiB (the first
// holds the earliest packets' times, so two captures that differ there never match). False with
// a reason in error when the file cannot be read.
bool FingerprintFile(const std::string& path, std::string& fingerprint, std::string& error);

// The identity of a run over the given files ("-" is standard input).
bool MakeRunIdentity(const std::vector<std::string>& files, const std::string& probe, bool append,
                     RunIdentity& run, std::string& error);

// A previous run that stored results of one of run's inputs: how a sink tells the user.
std::string AlreadyStoredMessage(const std::string& input, const std::string& previous_run,
                                 const std::string& previous_probe);

}  // namespace kdreplay
