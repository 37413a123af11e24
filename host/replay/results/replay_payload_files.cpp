#include "replay_payload_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>

#include "replay_record_type.h"

namespace kdreplay {

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string WithoutGz(const std::string& name) {
  return EndsWith(name, ".gz") ? name.substr(0, name.size() - 3) : name;
}

bool PayloadName(const std::string& name) {
  std::string plain = WithoutGz(name);
  return name[0] != '.' && (EndsWith(plain, ".json") || EndsWith(plain, ".msgpack"));
}

// Digit runs compare as numbers, everything else byte by byte.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isdigit(static_cast<unsigned char>(a[i])) && isdigit(static_cast<unsigned char>(b[j]))) {
      size_t i_end = a.find_first_not_of("0123456789", i),
             j_end = b.find_first_not_of("0123456789", j);
      std::string x = a.substr(i, i_end - i), y = b.substr(j, j_end - j);
      x.erase(0, std::min(x.find_first_not_of('0'), x.size() - 1));
      y.erase(0, std::min(y.find_first_not_of('0'), y.size() - 1));
      if (x.size() != y.size()) return x.size() < y.size();
      if (x != y) return x < y;
      i = i_end == std::string::npos ? a.size() : i_end;
      j = j_end == std::string::npos ? b.size() : j_end;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

bool ListFolder(const std::string& path, std::vector<std::string>& files, std::string& error) {
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) {
    error = path + ": " + strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    struct stat info;
    if (PayloadName(name) && stat((path + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode))
      names.push_back(name);
  }
  closedir(folder);
  std::sort(names.begin(), names.end(), NaturalLess);
  for (const std::string& name : names) files.push_back(path + "/" + name);
  return true;
}

// The whole file, decompressed when it is in the gzip format (zlib reads plain files as they are).
bool ReadAll(const std::string& file, std::string& bytes, std::string& error) {
  gzFile in = gzopen(file.c_str(), "rb");
  if (in == nullptr) {
    error = file + ": " + strerror(errno != 0 ? errno : ENOMEM);
    return false;
  }
  char buffer[65536];
  int n = 0;
  while ((n = gzread(in, buffer, sizeof(buffer))) > 0) bytes.append(buffer, static_cast<size_t>(n));
  int code = 0;
  const char* message = n < 0 ? gzerror(in, &code) : nullptr;
  gzclose(in);
  if (n < 0) {
    error = file + ": " + (message != nullptr ? message : "cannot be read");
    return false;
  }
  return true;
}

}  // namespace

bool ListPayloadFiles(const std::vector<std::string>& paths, std::vector<std::string>& files,
                      std::string& error) {
  for (const std::string& path : paths) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
      error = path + ": " + strerror(errno);
      return false;
    }
    if (!S_ISDIR(info.st_mode)) {
      files.push_back(path);
    } else if (!ListFolder(path, files, error)) {
      return false;
    }
  }
  return true;
}

bool ReadPayloadFile(const std::string& file, nlohmann::json& payload, std::string& error) {
  std::string bytes;
  if (!ReadAll(file, bytes, error)) return false;
  try {
    payload = EndsWith(WithoutGz(file), ".msgpack") ? nlohmann::json::from_msgpack(bytes)
                                                    : nlohmann::json::parse(bytes);
  } catch (const std::exception& e) {
    error = file + ": " + e.what();
    return false;
  }
  return true;
}

IndexedFile PayloadIndex::Lookup(const std::string& file) {
  const size_t slash = file.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : file.substr(0, slash);
  const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  auto found = directories_.find(directory);
  if (found == directories_.end()) {
    found = directories_.emplace(directory, std::map<std::string, IndexedFile>()).first;
    std::ifstream in(directory + "/" + kPayloadIndexName);
    std::string line;
    while (std::getline(in, line)) {
      // A line cut short by a full disk is passed over: its file reads as of no known type.
      nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
      if (!entry.is_object()) continue;
      auto listed = entry.find("file");
      auto type = entry.find("record_type");
      if (listed == entry.end() || !listed->is_string() || type == entry.end() ||
          !type->is_number_unsigned())
        continue;
      IndexedFile& indexed = found->second[listed->get<std::string>()];
      indexed.record_type = type->get<uint32_t>();
      auto run = entry.find("run");
      auto probe = entry.find("probe");
      if (run != entry.end() && run->is_string()) indexed.run = run->get<std::string>();
      if (probe != entry.end() && probe->is_string()) indexed.probe = probe->get<std::string>();
    }
  }
  auto listed = found->second.find(name);
  return listed == found->second.end() ? IndexedFile() : listed->second;
}

bool InTimeRange(const nlohmann::json& payload, int64_t from, int64_t to) {
  if (from == INT64_MIN && to == INT64_MAX) return true;
  if (!payload.is_object()) return false;
  auto found = payload.find("log_time_start");
  if (found == payload.end() || !found->is_number_integer()) return false;
  int64_t start = found->get<int64_t>();
  return start >= from && start < to;
}

}  // namespace kdreplay
