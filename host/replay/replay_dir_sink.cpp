#include "replay_dir_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "replay_json_fields.h"
#include "replay_payload_encoding.h"
#include "replay_report.h"

namespace kdreplay {

namespace {

bool SafeCharacter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

bool MakeDirectories(const std::string& path, std::string& error) {
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end != path.size() && path[end] != '/') continue;
    std::string prefix = path.substr(0, end);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      error = prefix + ": " + strerror(errno);
      return false;
    }
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    error = path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    error = path + ": " + strerror(ENOTDIR);
    return false;
  }
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string SafeFileName(const std::string& name) {
  std::string safe;
  size_t characters = 0;
  for (size_t i = 0; i < name.size() && characters < kMaxSafeName; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (SafeCharacter(c)) {
      safe += static_cast<char>(c);
    } else {
      safe += '_';
      // The continuation bytes of a UTF-8 sequence belong to the character just replaced.
      if (c >= 0xC0) {
        while (i + 1 < name.size() && (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80) ++i;
      }
    }
    ++characters;
  }
  return safe;
}

DirectorySink::DirectorySink(std::string path) : path_(std::move(path)) {}

bool DirectorySink::Prepare(std::string& error) {
  return MakeDirectories(path_, error);
}

bool DirectorySink::WriteFile(const std::string& final_name, const std::string& bytes,
                              std::string& error) {
  std::string temp = path_ + "/.korvia-replay-" + std::to_string(getpid()) + "-" +
                     std::to_string(++temp_counter_) + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    error = temp + ": " + strerror(errno);
    return false;
  }
  bool ok = WriteAll(fd, bytes) && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(temp.c_str(), final_name.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    error = final_name + ": " + strerror(saved);
  }
  return ok;
}

bool DirectorySink::Write(const std::string& sink, const std::string& channel,
                          const nlohmann::json& payload, uint32_t flags) {
  std::string error;
  std::string final_name;
  try {
    EncodedPayload encoded = EncodePayload(payload, flags);
    std::lock_guard<std::mutex> guard(lock_);
    std::string stem = SafeFileName(sink) + "-" + SafeFileName(channel);
    // A failed write still uses up its number, so that a gap shows the lost payload.
    uint64_t sequence = ++sequence_[stem];
    final_name = path_ + "/" + stem + "-" + std::to_string(sequence) + encoded.extension;
    if (WriteFile(final_name, encoded.bytes, error)) return true;
  } catch (const std::exception& e) {
    error = e.what();
  }
  Report("sink %s channel %s: payload not written: %s", Describe(sink).c_str(),
         Describe(channel).c_str(), error.c_str());
  return false;
}

}  // namespace kdreplay
