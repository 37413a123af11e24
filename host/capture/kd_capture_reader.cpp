#include "kd_capture_reader.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// Capture files are read a mebibyte at a time: a read per few thousand packets, not per page.
constexpr size_t kReadBuffer = size_t{1} << 20;

// Capture timestamps in microseconds; times before the epoch count as the epoch, and absurdly
// late ones are held where the arithmetic stays exact.
uint64_t Microseconds(const timeval& ts) {
  constexpr int64_t kLatest = int64_t{1} << 40;  // seconds: some 34,000 years
  int64_t seconds = ts.tv_sec;
  if (seconds < 0) return 0;
  if (seconds > kLatest) seconds = kLatest;
  int64_t micros = ts.tv_usec;
  if (micros < 0 || micros > 999999) micros = 0;
  return static_cast<uint64_t>(seconds) * 1000000u + static_cast<uint64_t>(micros);
}

bool Stopped(const std::function<bool()>& stop) {
  return stop && stop();
}

// Sleeps until deadline in short steps, so that a stop request is seen soon.
void SleepUntil(Clock::time_point deadline, const std::function<bool()>& stop) {
  while (!Stopped(stop)) {
    Clock::time_point now = Clock::now();
    if (now >= deadline) return;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(100)));
  }
}

}  // namespace

std::string kdLinkTypeName(int link_type) {
  const char* name = pcap_datalink_val_to_name(link_type);
  std::string text = name != nullptr ? name : "unnamed";
  return text + " (" + std::to_string(link_type) + ")";
}

bool kdFirstPacketTime(const std::string& path, uint64_t& time_us) {
  char message[PCAP_ERRBUF_SIZE] = "";
  pcap_t* handle =
      pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, message);
  if (handle == nullptr) return false;
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  const bool found = pcap_next_ex(handle, &header, &data) == 1;
  if (found) time_us = Microseconds(header->ts);
  pcap_close(handle);
  return found;
}

kdCaptureFile::kdCaptureFile(kdCaptureFile&& other) noexcept {
  *this = std::move(other);
}

kdCaptureFile& kdCaptureFile::operator=(kdCaptureFile&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) pcap_close(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
    buffer_ = std::move(other.buffer_);
    path_ = std::move(other.path_);
    size_ = other.size_;
    packets_ = other.packets_;
    filtered_ = other.filtered_;
  }
  return *this;
}

kdCaptureFile::~kdCaptureFile() {
  if (handle_ != nullptr) pcap_close(handle_);
}

bool kdCaptureFile::Open(const std::string& path, std::string& error) {
  const bool standard_input = path == "-";
  FILE* file = standard_input ? stdin : fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = path + ": " + strerror(errno);
    return false;
  }
  auto buffer = std::make_unique<char[]>(kReadBuffer);
  setvbuf(file, buffer.get(), _IOFBF, kReadBuffer);
  char message[PCAP_ERRBUF_SIZE] = "";
  // On success the handle owns the file; on failure libpcap leaves it to us.
  pcap_t* handle =
      pcap_fopen_offline_with_tstamp_precision(file, PCAP_TSTAMP_PRECISION_MICRO, message);
  if (handle == nullptr) {
    if (!standard_input) fclose(file);
    error = message;
    return false;
  }
  if (handle_ != nullptr) pcap_close(handle_);
  handle_ = handle;
  buffer_ = std::move(buffer);
  path_ = path;
  packets_ = 0;
  filtered_ = 0;
  struct stat status;
  size_ =
      (path != "-" && stat(path.c_str(), &status) == 0) ? static_cast<uint64_t>(status.st_size) : 0;
  return true;
}

int kdCaptureFile::LinkType() const {
  return handle_ != nullptr ? pcap_datalink(handle_) : -1;
}

double kdCaptureFile::Fraction() const {
  FILE* file = handle_ != nullptr ? pcap_file(handle_) : nullptr;
  if (file == nullptr || size_ == 0) return 0;
  long at = ftell(file);
  if (at <= 0) return 0;
  double fraction = static_cast<double>(at) / static_cast<double>(size_);
  return fraction > 1 ? 1 : fraction;
}

bool kdCaptureFile::Replay(kdFlowTracker& tracker, const kdReplayOptions& options,
                           std::string& error) {
  if (handle_ == nullptr) {
    error = "not open";
    return false;
  }
  int link_type = pcap_datalink(handle_);
  Clock::time_point next_progress = Clock::now() + std::chrono::seconds(1);
  bool paced = false;
  Clock::time_point wall_start;
  uint64_t capture_start = 0;
  bool ok = true;
  bool at_end = false;
  while (!Stopped(options.stop)) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc = pcap_next_ex(handle_, &header, &data);
    if (rc == PCAP_ERROR_BREAK) {  // end of file
      at_end = true;
      break;
    }
    if (rc != 1) {
      error = "after packet " + std::to_string(packets_) + ": " + pcap_geterr(handle_);
      ok = false;
      break;
    }
    ++packets_;
    uint64_t time = Microseconds(header->ts);
    if (options.realtime) {
      if (!paced) {
        paced = true;
        wall_start = Clock::now();
        capture_start = time;
      } else if (time > capture_start) {
        SleepUntil(wall_start + std::chrono::microseconds(time - capture_start), options.stop);
      }
    }
    if (options.before_packet) options.before_packet(time);
    if (options.filter == nullptr || options.filter->Matches(data, header->caplen, header->len)) {
      tracker.Packet(link_type, time, data, header->caplen, header->len);
    } else {
      ++filtered_;
    }
    if (options.progress && Clock::now() >= next_progress) {
      next_progress = Clock::now() + std::chrono::seconds(1);
      options.progress(packets_, Fraction());
    }
  }
  if (options.progress) options.progress(packets_, at_end ? 1.0 : Fraction());
  return ok;
}
