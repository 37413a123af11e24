// What a shell command writes to standard output (empty when it cannot be started), for tests
// that read a peer program's answers.
#pragma once

#include <array>
#include <cstdio>
#include <string>

namespace testing_support {

inline std::string CommandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
  pclose(pipe);
  return out;
}

}  // namespace testing_support
