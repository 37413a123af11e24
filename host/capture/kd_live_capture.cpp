#include "kd_live_capture.h"

#include <net/if.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include <exception>

namespace {

uint64_t Microseconds(const timeval& ts) {
  if (ts.tv_sec < 0) return 0;
  int64_t micros = ts.tv_usec >= 0 && ts.tv_usec <= 999999 ? ts.tv_usec : 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(micros);
}

uint64_t WallMicroseconds() {
  timeval now;
  gettimeofday(&now, nullptr);
  return Microseconds(now);
}

std::string HandleError(pcap_t* handle, int rc) {
  std::string reason = pcap_geterr(handle);
  return reason.empty() ? pcap_statustostr(rc) : reason;
}

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

kdLinkState kdQueryLink(const std::string& iface) {
  kdLinkState state;
  if (iface.size() >= IFNAMSIZ) return state;
  // Any socket answers interface requests; a local one needs no capability.
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return state;
  ifreq request{};
  memcpy(request.ifr_name, iface.c_str(), iface.size());
  if (ioctl(fd, SIOCGIFINDEX, &request) == 0) {
    state.exists = true;
    state.index = static_cast<uint32_t>(request.ifr_ifindex);
    if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) state.up = (request.ifr_flags & IFF_UP) != 0;
  }
  close(fd);
  return state;
}

kdLiveCapture::~kdLiveCapture() {
  if (handle_ != nullptr) pcap_close(handle_);
}

bool kdLiveCapture::Open(const std::string& iface, const kdLiveCaptureOptions& options,
                         std::string& error, Failure& failure) {
  failure = Failure::kRefused;
  char message[PCAP_ERRBUF_SIZE] = "";
  pcap_t* handle = pcap_create(iface.c_str(), message);
  if (handle == nullptr) {
    error = message;
    return false;
  }
  // Not in immediate mode: that would give up the kernel's block ring, whose blocks pack packets
  // by their captured length, for a ring of few fixed-size frames that a burst overflows. Blocks
  // are handed over when full or after the timeout, which is soon enough for flow tracking.
  pcap_set_snaplen(handle, options.snaplen);
  pcap_set_promisc(handle, 1);
  pcap_set_timeout(handle, kBlockTimeoutMs);
  pcap_set_buffer_size(handle, options.buffer_mib * 1024 * 1024);
  int rc = pcap_activate(handle);
  if (rc < 0) {
    if (rc == PCAP_ERROR_NO_SUCH_DEVICE || rc == PCAP_ERROR_IFACE_NOT_UP)
      failure = Failure::kUnavailable;
    error = HandleError(handle, rc);
    pcap_close(handle);
    return false;
  }
  if (!options.filter.empty()) {
    bpf_program program{};
    bool compiled =
        pcap_compile(handle, &program, options.filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0;
    if (!compiled) failure = Failure::kFilter;
    if (!compiled || pcap_setfilter(handle, &program) != 0) {
      error = pcap_geterr(handle);
      if (compiled) pcap_freecode(&program);
      pcap_close(handle);
      return false;
    }
    pcap_freecode(&program);
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
  packets_ = 0;
  dropped_ = 0;
  failure = Failure::kNone;
  return true;
}

int kdLiveCapture::LinkType() const {
  return handle_ != nullptr ? pcap_datalink(handle_) : -1;
}

int kdLiveCapture::SelectableFd() const {
  return handle_ != nullptr ? pcap_get_selectable_fd(handle_) : -1;
}

void kdLiveCapture::Start(kdFlowTracker& tracker) {
  tracker.Start(WallMicroseconds());
}

uint64_t kdLiveCapture::Discard() {
  if (handle_ == nullptr) return 0;
  uint64_t read = 0;
  pcap_dispatch(
      handle_, -1,
      [](u_char* count, const pcap_pkthdr*, const u_char*) {
        ++*reinterpret_cast<uint64_t*>(count);
      },
      reinterpret_cast<u_char*>(&read));
  pcap_stat counters;
  if (pcap_stats(handle_, &counters) == 0) dropped_ = counters.ps_drop;
  return read;
}

bool kdLiveCapture::Dispatch(kdFlowTracker& tracker, std::string& error) {
  if (handle_ == nullptr) {
    error = "not open";
    return false;
  }
  LiveContext context{&tracker, pcap_datalink(handle_), &packets_, nullptr, handle_};
  int rc = pcap_dispatch(handle_, -1, OnLivePacket, reinterpret_cast<u_char*>(&context));
  if (context.failure) std::rethrow_exception(context.failure);
  if (rc == PCAP_ERROR) {
    error = pcap_geterr(handle_);
    return false;
  }
  pcap_stat counters;
  if (pcap_stats(handle_, &counters) == 0 && counters.ps_drop > dropped_) {
    tracker.AddCaptureDropped(counters.ps_drop - dropped_);
    dropped_ = counters.ps_drop;
  }
  tracker.AdvanceTime(WallMicroseconds());
  return true;
}

kdLiveCaptureCounters kdLiveCapture::Counters() const {
  kdLiveCaptureCounters result;
  result.captured = packets_;
  pcap_stat counters;
  if (handle_ != nullptr && pcap_stats(handle_, &counters) == 0) {
    result.dropped = counters.ps_drop;
    result.interface_dropped = counters.ps_ifdrop;
  }
  return result;
}
