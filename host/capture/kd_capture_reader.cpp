#include "kd_capture_reader.h"

#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
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

uint64_t WallMicroseconds() {
  timeval now;
  gettimeofday(&now, nullptr);
  return Microseconds(now);
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
  while (!Stopped(options.stop)) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc = pcap_next_ex(handle_, &header, &data);
    if (rc == PCAP_ERROR_BREAK) break;  // end of file
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
    tracker.Packet(link_type, time, data, header->caplen, header->len);
    if (options.progress && Clock::now() >= next_progress) {
      next_progress = Clock::now() + std::chrono::seconds(1);
      options.progress(packets_, Fraction());
    }
  }
  if (options.progress) options.progress(packets_, ok ? 1.0 : Fraction());
  return ok;
}

kdLiveCapture::~kdLiveCapture() {
  if (handle_ != nullptr) pcap_close(handle_);
}

bool kdLiveCapture::Open(const std::string& iface, std::string& error) {
  char message[PCAP_ERRBUF_SIZE] = "";
  pcap_t* handle = pcap_create(iface.c_str(), message);
  if (handle == nullptr) {
    error = message;
    return false;
  }
  pcap_set_snaplen(handle, 262144);
  pcap_set_promisc(handle, 1);
  pcap_set_timeout(handle, 100);
  pcap_set_immediate_mode(handle, 1);
  int rc = pcap_activate(handle);
  if (rc < 0) {
    std::string reason = pcap_geterr(handle);
    if (reason.empty()) reason = pcap_statustostr(rc);
    error = reason;
    pcap_close(handle);
    return false;
  }
  if (pcap_setnonblock(handle, 1, message) != 0) {
    error = message;
    pcap_close(handle);
    return false;
  }
  if (handle_ != nullptr) pcap_close(handle_);
  handle_ = handle;
  iface_ = iface;
  unsigned index = if_nametoindex(iface.c_str());
  index_ = index == 0 ? 0xFFFFFFFFu : index;
  return true;
}

int kdLiveCapture::LinkType() const {
  return handle_ != nullptr ? pcap_datalink(handle_) : -1;
}

namespace {

struct LiveContext {
  kdFlowTracker* tracker;
  int link_type;
  uint64_t* packets;
  std::exception_ptr failure;  // an exception may not unwind through libpcap
  pcap_t* handle;
};

void OnLivePacket(u_char* user, const pcap_pkthdr* header, const u_char* data) {
  LiveContext* context = reinterpret_cast<LiveContext*>(user);
  if (context->failure) return;
  try {
    ++*context->packets;
    context->tracker->Packet(context->link_type, Microseconds(header->ts), data, header->caplen,
                             header->len);
  } catch (...) {
    context->failure = std::current_exception();
    pcap_breakloop(context->handle);
  }
}

}  // namespace

bool kdLiveCapture::Run(kdFlowTracker& tracker, const std::function<bool()>& stop,
                        std::string& error) {
  if (handle_ == nullptr) {
    error = "not open";
    return false;
  }
  LiveContext context{&tracker, pcap_datalink(handle_), &packets_, nullptr, handle_};
  int fd = pcap_get_selectable_fd(handle_);
  uint64_t dropped = 0;
  tracker.Start(WallMicroseconds());
  bool ok = true;
  while (!Stopped(stop)) {
    if (fd >= 0) {
      pollfd wait = {fd, POLLIN, 0};
      poll(&wait, 1, 200);  // EINTR from the stop signal just ends the wait
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    int rc = pcap_dispatch(handle_, -1, OnLivePacket, reinterpret_cast<u_char*>(&context));
    if (context.failure) std::rethrow_exception(context.failure);
    if (rc == PCAP_ERROR) {
      error = pcap_geterr(handle_);
      ok = false;
      break;
    }
    pcap_stat counters;
    if (pcap_stats(handle_, &counters) == 0 && counters.ps_drop > dropped) {
      tracker.AddCaptureDropped(counters.ps_drop - dropped);
      dropped = counters.ps_drop;
    }
    tracker.AdvanceTime(WallMicroseconds());
  }
  return ok;
}
