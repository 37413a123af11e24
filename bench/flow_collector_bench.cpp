// The collector's cost and loss: IPFIX datagrams of a 30-field template, decoded and handed to
// the flow trackers on one core, beside a floor of decoding alone; and a sender that paces the
// same datagrams to UDP ports for the loss figure (bench/compare-flows runs both).
//
//   kpp_flow_collector_bench decode [--records N] [--flows N]
//   kpp_flow_collector_bench send --rate RECORDS_PER_S --seconds S PORT [PORT ...]
//
// Every datagram goes to 127.0.0.1 only. Times are CPU time of the thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kd_flow_collector.h"
#include "replay_event_target.h"
#include "replay_flow_listener.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& b, uint64_t value, size_t n) {
  for (size_t i = n; i-- > 0;) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Thirty elements a router's IPv4 template commonly carries: (element ID, length).
const uint16_t kTemplate[30][2] = {
    {8, 4},   {12, 4},  {7, 2},   {11, 2},  {4, 1},  {6, 1},  {5, 1},   {1, 8},
    {2, 8},   {10, 4},  {14, 4},  {152, 8}, {153, 8}, {136, 1}, {58, 2}, {56, 6},
    {80, 6},  {9, 1},   {13, 1},  {15, 4},  {16, 4}, {17, 4}, {61, 1}, {192, 1},
    {32, 2},  {60, 1},  {89, 1},  {18, 4},  {176, 1}, {177, 1}};

size_t RecordLength() {
  size_t n = 0;
  for (const auto& field : kTemplate) n += field[1];
  return n;
}

// IPFIX messages of at most 1400 bytes, the template in every 64th; records cycle over `flows`
// 5-tuples on four ingress interfaces.
std::vector<Bytes> Datagrams(uint64_t records, uint64_t flows, uint64_t& made) {
  const size_t length = RecordLength();
  const size_t per_message = (1400 - 16 - 4) / length;
  std::vector<Bytes> out;
  uint64_t flow = 0;
  uint32_t sequence = 0;
  made = 0;
  while (made < records) {
    Bytes m;
    Put(m, 10, 2);
    Put(m, 0, 2);  // length, patched below
    Put(m, 1700000000, 4);
    Put(m, sequence, 4);
    Put(m, 1, 4);  // observation domain
    if (out.size() % 64 == 0) {
      Put(m, 2, 2);
      Put(m, 4 + 4 + 4 * 30, 2);
      Put(m, 256, 2);
      Put(m, 30, 2);
      for (const auto& field : kTemplate) {
        Put(m, field[0], 2);
        Put(m, field[1], 2);
      }
    }
    const size_t count = std::min<uint64_t>(per_message, records - made);
    Put(m, 256, 2);
    Put(m, 4 + count * length, 2);
    for (size_t r = 0; r < count; ++r, flow = (flow + 1) % flows) {
      for (const auto& field : kTemplate) {
        uint64_t value = 0;
        switch (field[0]) {
          case 8: value = 0x0A000000 | (flow >> 8); break;      // 10.x.y.z
          case 12: value = 0xC6336400 | (flow & 0xFF); break;   // 198.51.100.n
          case 7: value = 1024 + flow % 50000; break;
          case 11: value = 443; break;
          case 4: value = 6; break;
          case 1: value = 1500; break;
          case 2: value = 2; break;
          case 10: value = 1 + flow % 4; break;
          case 152: value = 1700000000000ull; break;
          case 153: value = 1700000000500ull; break;
          default: value = 0; break;
        }
        Put(m, value, field[1]);
      }
    }
    m[2] = static_cast<uint8_t>(m.size() >> 8);
    m[3] = static_cast<uint8_t>(m.size());
    sequence += static_cast<uint32_t>(count);
    made += count;
    out.push_back(std::move(m));
  }
  return out;
}

double ThreadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

class NoTarget : public kdreplay::EventTarget {
 public:
  void DeliverFlowMap(const std::string&, kdFlowMap&, uint32_t) override {}
  void DeliverFlow(const std::string&, std::shared_ptr<kdFlow>, uint32_t) override {}
  void DeliverStats(const std::string&, const std::string&, kdPacketStats&) override {}
  void Reload(const std::string&) override {}
  void SetLinkAddress(uint32_t, const kdAddr*) override {}
  void WriteStatus(const std::string&) override {}
};

int Decode(uint64_t records, uint64_t flows) {
  uint64_t made = 0;
  const std::vector<Bytes> datagrams = Datagrams(records, flows, made);
  const kdFlowExporter exporter = kdFlowExporter::Ipv4(0xC0000201);

  // The floor: decoding alone, records handed to a callback that keeps nothing.
  uint64_t decoded = 0;
  kdFlowCollector collector([&decoded](const kdFlowRecord&) { ++decoded; });
  double start = ThreadSeconds();
  for (size_t i = 0; i < datagrams.size(); ++i)
    collector.Decode(exporter, datagrams[i].data(), datagrams[i].size(), 1000 + i);
  const double floor = ThreadSeconds() - start;

  // The collector: decoded and handed to the trackers' flow maps, time passing 1 ms a datagram.
  kdreplay::FlowEndpoint endpoint;
  std::string error;
  auto* in = reinterpret_cast<sockaddr_in*>(&endpoint.address);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  endpoint.address_length = sizeof(sockaddr_in);
  endpoint.text = "bench";
  kdreplay::FlowListenOptions options;
  options.endpoints.push_back(endpoint);
  options.buffer_mib = 1;
  kdreplay::FlowListener listener(options);
  if (!listener.Open(error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  NoTarget target;
  kdFlowTrackerConfig config;
  const uint64_t t0 = 1'700'000'000'000'000;
  listener.Start(config, t0, target);
  start = ThreadSeconds();
  for (size_t i = 0; i < datagrams.size(); ++i)
    listener.Datagram(0, exporter, datagrams[i].data(), datagrams[i].size(), t0 + i * 1000);
  const double full = ThreadSeconds() - start;
  printf("records: %llu in %zu datagrams of a 30-field IPFIX template, %llu flows\n",
         static_cast<unsigned long long>(made), datagrams.size(),
         static_cast<unsigned long long>(flows));
  printf("decode only (floor): %.0f records/s\n", static_cast<double>(decoded) / floor);
  printf("decode and hand to the flow map: %.0f records/s (%.2f x the floor's time)\n",
         static_cast<double>(made) / full, full / floor);
  return 0;
}

int Send(double rate, double seconds, const std::vector<uint16_t>& ports) {
  uint64_t made = 0;
  const uint64_t records = static_cast<uint64_t>(rate * seconds);
  const std::vector<Bytes> datagrams = Datagrams(records, 100000, made);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  std::vector<sockaddr_in> to;
  for (uint16_t port : ports) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.push_back(a);
  }
  const double per_datagram = static_cast<double>(made) / static_cast<double>(datagrams.size());
  timespec begin;
  clock_gettime(CLOCK_MONOTONIC, &begin);
  uint64_t sent_records = 0;
  for (size_t i = 0; i < datagrams.size(); ++i) {
    // Each datagram leaves when the rate says its records are due.
    const double due = static_cast<double>(i) * per_datagram / rate;
    for (;;) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      double elapsed = static_cast<double>(now.tv_sec - begin.tv_sec) +
                       static_cast<double>(now.tv_nsec - begin.tv_nsec) / 1e9;
      if (elapsed >= due) break;
      if (due - elapsed > 0.0002) usleep(100);
    }
    for (const sockaddr_in& a : to)
      sendto(fd, datagrams[i].data(), datagrams[i].size(), 0,
             reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    sent_records += (datagrams[i].size() - 16) / RecordLength();
  }
  timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  double elapsed = static_cast<double>(end.tv_sec - begin.tv_sec) +
                   static_cast<double>(end.tv_nsec - begin.tv_nsec) / 1e9;
  close(fd);
  printf("sent %zu datagrams (%llu records) to each port in %.2f s: %.0f records/s\n",
         datagrams.size(), static_cast<unsigned long long>(made), elapsed,
         static_cast<double>(made) / elapsed);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  uint64_t records = 2'000'000, flows = 100'000;
  double rate = 200000, seconds = 10;
  std::vector<uint16_t> ports;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--records" && more) {
      records = strtoull(argv[++i], nullptr, 10);
    } else if (a == "--flows" && more) {
      flows = strtoull(argv[++i], nullptr, 10);
    } else if (a == "--rate" && more) {
      rate = atof(argv[++i]);
    } else if (a == "--seconds" && more) {
      seconds = atof(argv[++i]);
    } else {
      ports.push_back(static_cast<uint16_t>(atoi(argv[i])));
    }
  }
  if (mode == "decode" && flows > 0) return Decode(records, flows);
  if (mode == "send" && !ports.empty() && rate > 0) return Send(rate, seconds, ports);
  fprintf(stderr,
          "usage: kpp_flow_collector_bench decode [--records N] [--flows N]\n"
          "       kpp_flow_collector_bench send [--rate RECORDS_PER_S] [--seconds S] PORT...\n");
  return 2;
}
