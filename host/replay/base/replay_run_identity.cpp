#include "replay_run_identity.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace kdreplay {

namespace {

constexpr size_t kHashedSpan = 1 << 20;

uint64_t Fnv1a(uint64_t hash, const unsigned char* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    hash ^= bytes[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

// Hashes size bytes from offset; false on a read error.
bool HashSpan(int fd, off_t offset, size_t size, uint64_t& hash) {
  unsigned char buffer[65536];
  while (size > 0) {
    ssize_t n = pread(fd, buffer, std::min(size, sizeof(buffer)), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    hash = Fnv1a(hash, buffer, static_cast<size_t>(n));
    offset += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string NewRunId() {
  unsigned char bytes[16];
  const uint64_t ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
  for (int i = 0; i < 6; ++i) bytes[i] = static_cast<unsigned char>(ms >> (40 - 8 * i));
  size_t filled = 0;
  while (filled < 10) {
    ssize_t n = getrandom(bytes + 6 + filled, 10 - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // No entropy source: the process and a counter still keep IDs apart on this host.
      static uint32_t counter = 0;
      const uint64_t fallback = (static_cast<uint64_t>(getpid()) << 32) ^ ++counter ^ ms;
      for (size_t i = filled; i < 10; ++i)
        bytes[6 + i] = static_cast<unsigned char>(fallback >> (8 * (i % 8)));
      break;
    }
    filled += static_cast<size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>(0x70 | (bytes[6] & 0x0F));  // version 7
  bytes[8] = static_cast<unsigned char>(0x80 | (bytes[8] & 0x3F));  // RFC 9562 variant
  char text[37];
  snprintf(text, sizeof(text),
           "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
           bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9],
           bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

bool FingerprintFile(const std::string& path, std::string& fingerprint, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    error = path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  uint64_t hash = 0xcbf29ce484222325ULL;
  bool ok = HashSpan(fd, 0, static_cast<size_t>(std::min<uint64_t>(size, kHashedSpan)), hash);
  if (ok && size > kHashedSpan) {
    const uint64_t tail = std::min<uint64_t>(size - kHashedSpan, kHashedSpan);
    ok = HashSpan(fd, static_cast<off_t>(size - tail), static_cast<size_t>(tail), hash);
  }
  if (!ok) error = path + ": " + strerror(errno);
  close(fd);
  if (!ok) return false;
  char text[48];
  snprintf(text, sizeof(text), "%llu-%016llx", static_cast<unsigned long long>(size),
           static_cast<unsigned long long>(hash));
  fingerprint = text;
  return true;
}

bool MakeRunIdentity(const std::vector<std::string>& files, const std::string& probe, bool append,
                     RunIdentity& run, std::string& error) {
  run.id = NewRunId();
  run.probe = probe.empty() ? HostName() : probe;
  run.started = static_cast<int64_t>(time(nullptr));
  run.append = append;
  for (const std::string& file : files) {
    RunInput input{file, ""};
    if (file != "-" && !FingerprintFile(file, input.fingerprint, error)) return false;
    run.inputs.push_back(std::move(input));
  }
  return true;
}

std::string AlreadyStoredMessage(const std::string& input, const std::string& previous_run,
                                 const std::string& previous_probe) {
  return "holds the results of " + input + " already (run " + previous_run + ", probe " +
         previous_probe + "); --append stores them a second time";
}

}  // namespace kdreplay
