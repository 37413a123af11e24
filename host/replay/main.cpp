// korvia-replay: loads a processor plugin the way the daemon does and drives it from an event
// script. See docs/replay.md.
#include <cstdio>
#include <string>

#include "replay_app.h"
#include "replay_options.h"
#include "replay_read_back.h"
#include "replay_report.h"

int main(int argc, char** argv) {
  kdreplay::Options options;
  std::string error;
  if (!kdreplay::ParseCommandLine(argc, argv, options, error)) {
    kdreplay::Report("%s (see --help)", error.c_str());
    return kdreplay::kExitUsage;
  }
  if (options.help) {
    fputs(kdreplay::UsageText(), stdout);
    return kdreplay::kExitOk;
  }
  if (options.version) {
    printf("korvia-replay %s\n", KORVIA_REPLAY_VERSION);
    return kdreplay::kExitOk;
  }
  if (!options.read.empty()) return kdreplay::RunReadBack(options);
  return kdreplay::RunReplay(options);
}
