#include "replay_plugin_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace kdreplay {

namespace {

std::string ProgramDirectory() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool ReadableFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), R_OK) == 0;
}

}  // namespace

std::vector<std::string> DefaultPluginCandidates() {
  const std::string directory = ProgramDirectory();
  const std::string file = KORVIA_REPLAY_PLUGIN_FILE;
  return {
      directory + "/" + file,
      directory + "/" + KORVIA_REPLAY_BUILD_PLUGIN_DIR + "/" + file,
      directory + "/" + KORVIA_REPLAY_INSTALL_PLUGIN_DIR + "/" + file,
  };
}

bool IsOurPlugin(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return path.substr(slash == std::string::npos ? 0 : slash + 1) == KORVIA_REPLAY_PLUGIN_FILE;
}

bool FindDefaultPlugin(std::string& path, std::string& error) {
  std::vector<std::string> candidates = DefaultPluginCandidates();
  for (const std::string& candidate : candidates) {
    if (ReadableFile(candidate)) {
      path = candidate;
      return true;
    }
  }
  error = "no plugin found; looked for";
  for (const std::string& candidate : candidates) error += " " + candidate;
  error += " (give one with --plugin PATH)";
  return false;
}

}  // namespace kdreplay
