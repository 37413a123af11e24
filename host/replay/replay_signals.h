// SIGINT and SIGTERM ask the run to stop between events (the plugin is then stopped as at the
// end of a script, so its last payloads are still sent); SIGPIPE is ignored so that a closed
// standard output is a write error rather than the end of the process.
#pragma once

namespace kdreplay {

void InstallSignalHandlers();
bool InterruptRequested();

}  // namespace kdreplay
