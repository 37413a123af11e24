#include "replay_dir_sink.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>

#include "replay_json_fields.h"
#include "replay_payload_encoding.h"

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

bool RegularFile(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
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

DirectorySink::DirectorySink(const std::string& path, const RunIdentity& run)
    : path_(path), run_(run) {
  // The components from the first that holds a "%" on are patterns; the last of them, when it
  // holds one, names files, the others directories.
  size_t slash = path.find_last_of('/');
  std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  if (last.find('%') != std::string::npos) {
    pattern_ = last;
    path_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  }
  size_t percent = path_.find('%');
  if (percent == std::string::npos) return;
  size_t start = path_.rfind('/', percent);
  directory_pattern_ = start == std::string::npos ? path_ : path_.substr(start + 1);
  path_ = start == std::string::npos ? "." : start == 0 ? "/" : path_.substr(0, start);
}

namespace {

// The strftime conversions of pattern for the calendar time seconds, in UTC; empty when the
// expansion is empty or too long.
std::string Expand(const std::string& pattern, time_t seconds) {
  tm calendar{};
  char buffer[256];
  size_t length = 0;
  if (gmtime_r(&seconds, &calendar) != nullptr) {
    // The pattern is the user's by design: strftime reads no arguments beyond the calendar.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    length = strftime(buffer, sizeof(buffer), pattern.c_str(), &calendar);
#pragma GCC diagnostic pop
  }
  return std::string(buffer, length);
}

// The window's start, or the time of writing for a payload without one.
time_t WindowStart(const nlohmann::json& payload) {
  if (payload.is_object()) {
    auto found = payload.find("log_time_start");
    if (found != payload.end() && found->is_number_integer()) return found->get<time_t>();
  }
  return time(nullptr);
}

}  // namespace

std::string DirectorySink::Directory(const nlohmann::json& payload) const {
  if (directory_pattern_.empty()) return path_;
  // Each expanded component is made safe as a file name is, so that none is "." or ".." or
  // leaves the directory before it; one that expands to nothing keeps its pattern's name.
  const time_t start = WindowStart(payload);
  std::string directory = path_;
  size_t begin = 0;
  while (begin <= directory_pattern_.size()) {
    size_t end = directory_pattern_.find('/', begin);
    if (end == std::string::npos) end = directory_pattern_.size();
    const std::string component = directory_pattern_.substr(begin, end - begin);
    if (!component.empty()) {
      std::string expanded = Expand(component, start);
      std::string safe = SafeFileName(expanded.empty() ? component : expanded);
      if (safe == "." || safe == "..") safe = "_";
      directory += "/" + safe;
    }
    begin = end + 1;
  }
  return directory;
}

std::string DirectorySink::Stem(const std::string& sink, const std::string& channel,
                                const nlohmann::json& payload) const {
  std::string stem = SafeFileName(sink) + "-" + SafeFileName(channel);
  if (pattern_.empty()) return stem;
  // A pattern whose expansion is empty or too long still names the payload by its stem.
  std::string expanded = Expand(pattern_, WindowStart(payload));
  if (expanded.empty()) return stem;
  return SafeFileName(expanded) + "-" + stem;
}

bool DirectorySink::Prepare(std::string& error) {
  std::lock_guard<std::mutex> guard(lock_);
  return PrepareLocked(error);
}

bool DirectorySink::PrepareLocked(std::string& error) {
  if (prepared_) return true;
  if (!MakeDirectories(path_, error)) {
    error = "cannot create directory " + error;
    return false;
  }
  prepared_ = CheckEarlierRuns(error);
  return prepared_;
}

bool DirectorySink::WriteFile(const std::string& directory, const std::string& final_name,
                              const std::string& bytes, std::string& error) {
  std::string temp = directory + "/.korvia-replay-" + std::to_string(getpid()) + "-" +
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

bool DirectorySink::AppendLine(const std::string& file, const nlohmann::json& line,
                               std::string& error) {
  // One write of a whole line with O_APPEND: runs that share the directory never split a line.
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    error = file + ": " + strerror(errno);
    return false;
  }
  bool ok =
      WriteAll(fd, line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) error = file + ": " + strerror(saved);
  return ok;
}

bool DirectorySink::CheckEarlierRuns(std::string& error) const {
  if (run_.append) return true;
  std::ifstream in(path_ + "/" + kRunIndexName);
  std::string text;
  while (std::getline(in, text)) {
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    if (!line.is_object() || !line.contains("inputs") || !line["inputs"].is_array()) continue;
    for (const nlohmann::json& earlier : line["inputs"]) {
      if (!earlier.is_object()) continue;
      const std::string fingerprint = earlier.value("fingerprint", "");
      for (const RunInput& input : run_.inputs) {
        if (input.fingerprint.empty() || input.fingerprint != fingerprint) continue;
        error = path_ + " " +
                AlreadyStoredMessage(input.name, line.value("run", ""), line.value("probe", ""));
        return false;
      }
    }
  }
  return true;
}

bool DirectorySink::RegisterRun(std::string& error) {
  if (registered_) return true;
  nlohmann::json inputs = nlohmann::json::array();
  for (const RunInput& input : run_.inputs) {
    nlohmann::json entry = {{"name", input.name}};
    if (!input.fingerprint.empty()) entry["fingerprint"] = input.fingerprint;
    inputs.push_back(std::move(entry));
  }
  registered_ = AppendLine(path_ + "/" + kRunIndexName,
                           {{"run", run_.id},
                            {"probe", run_.probe},
                            {"started", run_.started},
                            {"inputs", std::move(inputs)}},
                           error);
  return registered_;
}

bool DirectorySink::Write(const std::string& sink, const std::string& channel,
                          const nlohmann::json& payload, uint32_t flags, uint32_t record_type,
                          std::string& error) {
  try {
    EncodedPayload encoded = EncodePayload(payload, flags);
    std::lock_guard<std::mutex> guard(lock_);
    if (!PrepareLocked(error)) return false;
    const std::string directory = Directory(payload);
    if (directory != path_ && made_.count(directory) == 0) {
      if (!MakeDirectories(directory, error)) return false;
      made_.insert(directory);
    }
    std::string stem = Stem(sink, channel, payload);
    // A failed write still uses up its number, so that a gap shows the lost payload.
    uint64_t sequence = NextSequence(directory, stem);
    std::string name = stem + "-" + std::to_string(sequence) + encoded.extension;
    nlohmann::json listed = {{"file", name}, {"record_type", record_type}};
    if (!run_.id.empty()) {
      listed["run"] = run_.id;
      listed["probe"] = run_.probe;
    }
    // The run is listed before its first file, so that no file names a run the list lacks.
    return (run_.id.empty() || RegisterRun(error)) &&
           WriteFile(directory, directory + "/" + name, encoded.bytes, error) &&
           AppendLine(directory + "/" + kPayloadIndexName, listed, error);
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

uint64_t DirectorySink::NextSequence(const std::string& directory, const std::string& stem) {
  const std::pair<std::string, std::string> key(directory, stem);
  auto found = sequence_.find(key);
  if (found == sequence_.end())
    found = sequence_.emplace(key, HighestExisting(directory, stem)).first;
  return ++found->second;
}

uint64_t DirectorySink::HighestExisting(const std::string& directory,
                                        const std::string& stem) const {
  // Files STEM-N.EXT, where N is all digits and EXT holds no "-": what an earlier run left.
  uint64_t highest = 0;
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return highest;
  const std::string prefix = stem + "-";
  while (dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0 || !RegularFile(directory + "/" + name))
      continue;
    size_t digits_end = name.find_first_not_of("0123456789", prefix.size());
    if (digits_end == prefix.size() || digits_end - prefix.size() > 18) continue;
    if (digits_end != std::string::npos &&
        (name[digits_end] != '.' || name.find('-', digits_end) != std::string::npos))
      continue;
    highest = std::max<uint64_t>(
        highest, std::stoull(name.substr(prefix.size(), digits_end - prefix.size())));
  }
  closedir(listing);
  return highest;
}

}  // namespace kdreplay
