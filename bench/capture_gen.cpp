// kpp_capture_gen: writes a synthetic Ethernet capture (classic pcap, microsecond time stamps)
// for the end-to-end comparison. The same seed and options give the same file, byte for byte.
//
//   kpp_capture_gen --out FILE [--packets N] [--flows N] [--seed N] [--duration S] [--snaplen N]
//                   [--flood]
//
// Traffic: local hosts (10.1.0.0/16, fd00::/64) talking to remote ones (198.18.0.0/15,
// 2001:db8::/32) through one gateway MAC, most flows opened from inside. About three quarters
// TCP (TLS, HTTP, SSH, mail), a fifth UDP (DNS, QUIC, NTP), the rest ICMP; one flow in ten over
// IPv6. Flow sizes are heavy-tailed (many short flows, a few large ones) and flows overlap in
// time. TCP flows open with a handshake and end with FINs; the first payload carries a TLS
// ClientHello with a server name, an HTTP request or a DNS query, as real traffic does. Frames
// longer than the snapshot length are cut, their wire length kept in the record header.
//
// --flood writes hostile traffic instead: every packet its own flow, a small UDP datagram from a
// spoofed remote address and port to one of the local hosts, as a scan or a reflection attack
// sends (--flows is ignored; --duration defaults to 10 seconds).
#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
  std::string out;
  uint64_t packets = 2000000;
  uint64_t flows = 50000;
  uint64_t seed = 1;
  double duration = 120;
  uint32_t snaplen = 256;
  bool flood = false;
};

// splitmix64: small, fast and the same everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  uint64_t Below(uint64_t n) { return Next() % n; }

 private:
  uint64_t state_;
};

enum class Kind { kTls, kHttp, kSsh, kMail, kDns, kQuic, kNtp, kIcmp };

struct Flow {
  Kind kind;
  uint8_t protocol;  // 6, 17, 1 or 58
  bool ipv6;
  bool inbound;  // opened by the remote side
  uint32_t local;
  uint32_t remote;
  uint16_t client_port;   // the initiator's (ephemeral)
  uint16_t service_port;  // the responder's
  uint64_t packets;
  double start;
  double gap;  // mean seconds between packets
  std::string name;
};

struct PacketRef {
  uint64_t time_us;
  uint32_t flow;
  uint32_t index;  // of the packet within its flow
};

const char* const kDomains[] = {"video.example.com",  "cdn.example.net",    "mail.example.org",
                                "search.example.com", "social.example.net", "update.example.org",
                                "api.example.com",    "static.example.net"};

Kind PickKind(Random& random) {
  const double r = random.Unit();
  if (r < 0.48) return Kind::kTls;
  if (r < 0.62) return Kind::kHttp;
  if (r < 0.67) return Kind::kSsh;
  if (r < 0.75) return Kind::kMail;
  if (r < 0.87) return Kind::kDns;
  if (r < 0.94) return Kind::kQuic;
  if (r < 0.97) return Kind::kNtp;
  return Kind::kIcmp;
}

uint16_t PortOf(Kind kind, Random& random) {
  switch (kind) {
    case Kind::kTls:
      return random.Below(10) == 0 ? 8443 : 443;
    case Kind::kHttp:
      return random.Below(5) == 0 ? 8080 : 80;
    case Kind::kSsh:
      return 22;
    case Kind::kMail:
      return random.Below(2) ? 993 : 465;
    case Kind::kDns:
      return 53;
    case Kind::kQuic:
      return 443;
    case Kind::kNtp:
      return 123;
    case Kind::kIcmp:
      return 0;
  }
  return 0;
}

std::vector<Flow> MakeFlows(const Options& options, Random& random) {
  std::vector<Flow> flows(options.flows);
  // Heavy-tailed sizes: Pareto weights, scaled to the packet total; every flow has at least the
  // packets its protocol needs to open and close.
  std::vector<double> weights(flows.size());
  double total_weight = 0;
  for (auto& w : weights) {
    w = 1.0 / std::pow(1.0 - random.Unit(), 1.0 / 1.2);
    total_weight += w;
  }
  uint64_t assigned = 0;
  for (size_t i = 0; i < flows.size(); ++i) {
    Flow& f = flows[i];
    f.kind = PickKind(random);
    f.ipv6 = random.Below(10) == 0;
    f.protocol = f.kind == Kind::kIcmp ? (f.ipv6 ? 58 : 1)
                 : (f.kind == Kind::kDns || f.kind == Kind::kQuic || f.kind == Kind::kNtp) ? 17
                                                                                           : 6;
    f.inbound = f.kind != Kind::kDns && random.Below(12) == 0;
    f.local = static_cast<uint32_t>(random.Below(2000));
    // Remote hosts are popular or not: a few serve many flows.
    f.remote = static_cast<uint32_t>(std::pow(random.Unit(), 2.5) * 30000);
    f.service_port = PortOf(f.kind, random);
    f.client_port = static_cast<uint16_t>(
        f.protocol == 6 || f.protocol == 17 ? 32768 + random.Below(28000) : 0);
    const uint64_t least = f.protocol == 6 ? 7 : 2;
    f.packets = std::max<uint64_t>(
        least,
        static_cast<uint64_t>(weights[i] / total_weight * static_cast<double>(options.packets)));
    if (f.kind == Kind::kDns || f.kind == Kind::kNtp) f.packets = 2 + (f.packets > 40 ? 2 : 0);
    assigned += f.packets;
    f.name = kDomains[random.Below(sizeof(kDomains) / sizeof(kDomains[0]))];
  }
  // Bring the total to exactly options.packets: add to or take from the largest flows.
  std::vector<size_t> order(flows.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return flows[a].packets > flows[b].packets; });
  size_t at = 0;
  while (assigned < options.packets) {
    Flow& f = flows[order[at++ % std::min<size_t>(order.size(), 100)]];
    if (f.protocol == 17 && (f.kind == Kind::kDns || f.kind == Kind::kNtp)) continue;
    ++f.packets;
    ++assigned;
  }
  at = 0;
  while (assigned > options.packets) {
    Flow& f = flows[order[at++ % order.size()]];
    const uint64_t least = f.protocol == 6 ? 7 : 2;
    if (f.packets > least + 1) {
      --f.packets;
      --assigned;
    }
  }
  for (Flow& f : flows) {
    f.start = random.Unit() * options.duration * 0.9;
    const double span =
        std::min(options.duration - f.start, 0.05 + static_cast<double>(f.packets) * 0.02);
    f.gap = span / static_cast<double>(f.packets);
  }
  return flows;
}

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  Put16(b, at, static_cast<uint16_t>(v >> 16));
  Put16(b, at + 2, static_cast<uint16_t>(v));
}

uint16_t Checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += (data[i] << 8) | data[i + 1];
  if (length % 2) sum += data[length - 1] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// The first payload of a flow: what a classifier looks at.
std::vector<uint8_t> FirstPayload(const Flow& f) {
  std::vector<uint8_t> p;
  auto text = [&p](const std::string& s) { p.insert(p.end(), s.begin(), s.end()); };
  switch (f.kind) {
    case Kind::kTls: {
      // Record header, ClientHello with one cipher suite and a server-name extension.
      const std::string& name = f.name;
      const uint16_t sni_length = static_cast<uint16_t>(name.size() + 5);
      const uint16_t extensions = static_cast<uint16_t>(sni_length + 4);
      const uint16_t hello = static_cast<uint16_t>(2 + 32 + 1 + 4 + 2 + 2 + extensions);
      p = {0x16, 0x03, 0x01, 0, 0, 0x01, 0, 0, 0, 0x03, 0x03};
      Put16(p, 3, static_cast<uint16_t>(hello + 4));
      p[7] = static_cast<uint8_t>(hello >> 8);
      p[8] = static_cast<uint8_t>(hello);
      p.insert(p.end(), 32, 0x5a);                  // random
      p.push_back(0);                               // session id
      p.insert(p.end(), {0x00, 0x02, 0x13, 0x01});  // cipher suites
      p.insert(p.end(), {0x01, 0x00});              // compression
      p.insert(p.end(), {static_cast<uint8_t>(extensions >> 8), static_cast<uint8_t>(extensions)});
      p.insert(p.end(), {0x00, 0x00, static_cast<uint8_t>(sni_length >> 8),
                         static_cast<uint8_t>(sni_length)});
      const uint16_t list = static_cast<uint16_t>(name.size() + 3);
      p.insert(p.end(),
               {static_cast<uint8_t>(list >> 8), static_cast<uint8_t>(list), 0x00,
                static_cast<uint8_t>(name.size() >> 8), static_cast<uint8_t>(name.size())});
      text(name);
      break;
    }
    case Kind::kHttp:
      text("GET / HTTP/1.1\r\nHost: " + f.name + "\r\nUser-Agent: gen/1\r\n\r\n");
      break;
    case Kind::kDns: {
      p = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
      size_t start = 0;
      while (start <= f.name.size()) {
        size_t dot = f.name.find('.', start);
        if (dot == std::string::npos) dot = f.name.size();
        p.push_back(static_cast<uint8_t>(dot - start));
        text(f.name.substr(start, dot - start));
        start = dot + 1;
      }
      p.insert(p.end(), {0x00, 0x00, 0x01, 0x00, 0x01});
      break;
    }
    case Kind::kSsh:
      text("SSH-2.0-gen_1.0\r\n");
      break;
    default:
      p.assign(48, 0x42);
      break;
  }
  return p;
}

class Writer {
 public:
  Writer(const std::string& path, uint32_t snaplen) : snaplen_(snaplen) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
      std::perror(path.c_str());
      std::exit(1);
    }
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    const uint32_t header[6] = {0xa1b2c3d4, 0x00040002, 0, 0, snaplen, 1};  // little endian host
    std::fwrite(header, sizeof(header), 1, file_);
  }
  ~Writer() { std::fclose(file_); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void Write(uint64_t time_us, const std::vector<uint8_t>& frame, uint32_t wire_length) {
    const uint32_t captured = std::min<uint32_t>(snaplen_, static_cast<uint32_t>(frame.size()));
    const uint32_t record[4] = {static_cast<uint32_t>(time_us / 1000000),
                                static_cast<uint32_t>(time_us % 1000000), captured, wire_length};
    std::fwrite(record, sizeof(record), 1, file_);
    std::fwrite(frame.data(), 1, captured, file_);
  }

 private:
  std::FILE* file_;
  uint32_t snaplen_;
};

// Builds the frame of packet `index` of flow f. The initiator is the local host unless the flow
// is inbound; it sends from its client port to the responder's service port.
std::vector<uint8_t> BuildFrame(const Flow& f, uint32_t index, Random& random,
                                uint32_t& wire_length) {
  const bool from_initiator = [&] {
    if (f.protocol == 6) {
      if (index == 0 || index == 2) return true;
      if (index == 1) return false;
      if (index + 2 == f.packets) return true;   // FIN
      if (index + 1 == f.packets) return false;  // FIN
      if (index == 3) return true;               // first payload
      return random.Below(3) == 0;               // most data flows to the initiator
    }
    return index % 2 == 0;
  }();
  const bool from_local = from_initiator != f.inbound;

  std::vector<uint8_t> payload;
  uint8_t tcp_flags = 0x10;  // ACK
  if (f.protocol == 6) {
    if (index == 0)
      tcp_flags = 0x02;
    else if (index == 1)
      tcp_flags = 0x12;
    else if (index + 2 >= f.packets)
      tcp_flags = 0x11;
    else if (index == 3) {
      payload = FirstPayload(f);
      tcp_flags = 0x18;
    } else if (index > 3) {
      const double r = random.Unit();
      const size_t size = r < 0.35 ? 0 : r < 0.8 ? 1448 : 100 + random.Below(900);
      payload.assign(size, static_cast<uint8_t>(index));
      tcp_flags = size ? 0x18 : 0x10;
    }
  } else if (f.protocol == 17) {
    if (index == 0 || (f.kind == Kind::kDns && index % 2 == 0)) {
      payload = FirstPayload(f);
    } else if (f.kind == Kind::kDns) {
      payload = FirstPayload(f);  // the answer repeats the question, with no records
      payload[2] = 0x81;
      payload[3] = 0x80;
    } else if (f.kind == Kind::kNtp) {
      payload.assign(48, 0x23);
    } else {
      payload.assign(random.Below(4) ? 1200 : 80 + random.Below(400), 0x44);
    }
  } else {
    payload.assign(56, 0x61);  // echo data
  }

  const size_t l4 = f.protocol == 6 ? 20 : 8;
  const size_t l3 = f.ipv6 ? 40 : 20;
  std::vector<uint8_t> b(14 + l3 + l4);
  // Ethernet: local host MAC 02:00:00:00:hh:hh, gateway 02:fe:00:00:00:01.
  const uint8_t host_mac[6] = {
      0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(f.local >> 8), static_cast<uint8_t>(f.local)};
  const uint8_t gateway_mac[6] = {0x02, 0xfe, 0x00, 0x00, 0x00, 0x01};
  std::memcpy(&b[0], from_local ? gateway_mac : host_mac, 6);
  std::memcpy(&b[6], from_local ? host_mac : gateway_mac, 6);
  Put16(b, 12, f.ipv6 ? 0x86dd : 0x0800);

  const size_t ip = 14;
  const size_t ip_length = l3 + l4 + payload.size();
  if (f.ipv6) {
    b[ip] = 0x60;
    Put16(b, ip + 4, static_cast<uint16_t>(l4 + payload.size()));
    b[ip + 6] = f.protocol;
    b[ip + 7] = 64;
    uint8_t local[16] = {0xfd,
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         0,
                         static_cast<uint8_t>((f.local + 1) >> 8),
                         static_cast<uint8_t>(f.local + 1)};
    uint8_t remote[16] = {0x20,
                          0x01,
                          0x0d,
                          0xb8,
                          0,
                          0,
                          0,
                          0,
                          0,
                          0,
                          0,
                          0,
                          static_cast<uint8_t>(f.remote >> 24),
                          static_cast<uint8_t>(f.remote >> 16),
                          static_cast<uint8_t>(f.remote >> 8),
                          static_cast<uint8_t>(f.remote + 1)};
    std::memcpy(&b[ip + 8], from_local ? local : remote, 16);
    std::memcpy(&b[ip + 24], from_local ? remote : local, 16);
  } else {
    b[ip] = 0x45;
    Put16(b, ip + 2, static_cast<uint16_t>(ip_length));
    Put16(b, ip + 4, static_cast<uint16_t>(index));
    Put16(b, ip + 6, 0x4000);  // don't fragment
    b[ip + 8] = 64;
    b[ip + 9] = f.protocol;
    const uint32_t local = (10u << 24) | (1u << 16) | (f.local + 1);
    const uint32_t remote = (198u << 24) | (18u << 16) | (f.remote + 1);
    Put32(b, ip + 12, from_local ? local : remote);
    Put32(b, ip + 16, from_local ? remote : local);
    Put16(b, ip + 10, Checksum(&b[ip], 20));
  }

  const size_t t = ip + l3;
  const uint16_t sport = from_initiator ? f.client_port : f.service_port;
  const uint16_t dport = from_initiator ? f.service_port : f.client_port;
  if (f.protocol == 6) {
    Put16(b, t, sport);
    Put16(b, t + 2, dport);
    Put32(b, t + 4, 1000 + index * 1448);
    Put32(b, t + 8, index == 0 ? 0 : index == 1 ? 1001 : 5000 + index);
    b[t + 12] = 0x50;
    b[t + 13] = tcp_flags;
    Put16(b, t + 14, 64240);
  } else if (f.protocol == 17) {
    Put16(b, t, sport);
    Put16(b, t + 2, dport);
    Put16(b, t + 4, static_cast<uint16_t>(8 + payload.size()));
  } else {
    b[t] = f.ipv6 ? (from_initiator ? 128 : 129) : (from_initiator ? 8 : 0);  // echo
    Put16(b, t + 4, static_cast<uint16_t>(f.local));
    Put16(b, t + 6, static_cast<uint16_t>(index / 2));
  }
  b.insert(b.end(), payload.begin(), payload.end());
  wire_length = static_cast<uint32_t>(b.size());
  return b;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  bool duration_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto number = [&](uint64_t& out) {
      if (value == nullptr) return false;
      out = std::strtoull(value, nullptr, 10);
      ++i;
      return true;
    };
    uint64_t n = 0;
    if (arg == "--out" && value != nullptr) {
      options.out = value;
      ++i;
    } else if (arg == "--packets" && number(options.packets)) {
    } else if (arg == "--flows" && number(options.flows)) {
    } else if (arg == "--seed" && number(options.seed)) {
    } else if (arg == "--duration" && number(n)) {
      options.duration = static_cast<double>(n);
      duration_given = true;
    } else if (arg == "--snaplen" && number(n)) {
      options.snaplen = static_cast<uint32_t>(n);
    } else if (arg == "--flood") {
      options.flood = true;
      if (!duration_given) options.duration = 10;
    } else {
      return false;
    }
  }
  if (options.flood) options.flows = options.packets;
  const bool enough_packets = options.flood || options.packets >= options.flows * 8;
  return !options.out.empty() && options.flows > 0 && enough_packets && options.duration >= 1 &&
         options.snaplen >= 96;
}

// One small UDP datagram per packet, each from its own spoofed source, evenly spread in time.
int WriteFlood(const Options& options) {
  Random random(options.seed);
  Writer writer(options.out, options.snaplen);
  const uint8_t gateway_mac[6] = {0x02, 0xfe, 0x00, 0x00, 0x00, 0x01};
  const uint64_t start_us = 1700000000ull * 1000000;
  const uint64_t span_us = static_cast<uint64_t>(options.duration * 1e6);
  const size_t ip = 14, udp = ip + 20, payload = 4;
  std::vector<uint8_t> b(udp + 8 + payload, 0);
  uint64_t wire_bytes = 0;
  for (uint64_t i = 0; i < options.packets; ++i) {
    const uint32_t local = static_cast<uint32_t>(random.Below(2000));
    const uint8_t host_mac[6] = {
        0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(local >> 8), static_cast<uint8_t>(local)};
    std::memcpy(&b[0], host_mac, 6);
    std::memcpy(&b[6], gateway_mac, 6);
    Put16(b, 12, 0x0800);
    b[ip] = 0x45;
    Put16(b, ip + 2, static_cast<uint16_t>(b.size() - ip));
    Put16(b, ip + 4, static_cast<uint16_t>(i));
    b[ip + 8] = 64;
    b[ip + 9] = 17;
    Put16(b, ip + 10, 0);
    // Sources anywhere in 11.0.0.0 to 126.255.255.255: remote, never the local 10/8.
    const uint32_t source = static_cast<uint32_t>((11 + random.Below(116)) << 24) |
                            static_cast<uint32_t>(random.Below(1u << 24));
    Put32(b, ip + 12, source);
    Put32(b, ip + 16, (10u << 24) | (1u << 16) | (local + 1));
    Put16(b, ip + 10, Checksum(&b[ip], 20));
    Put16(b, udp, static_cast<uint16_t>(1024 + random.Below(64000)));
    Put16(b, udp + 2, static_cast<uint16_t>(1024 + random.Below(64000)));
    Put16(b, udp + 4, static_cast<uint16_t>(8 + payload));
    writer.Write(start_us + i * span_us / options.packets, b, static_cast<uint32_t>(b.size()));
    wire_bytes += b.size();
  }
  std::fprintf(stderr, "kpp_capture_gen: %s: %llu packets, each its own flow, %llu wire bytes\n",
               options.out.c_str(), static_cast<unsigned long long>(options.packets),
               static_cast<unsigned long long>(wire_bytes));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: kpp_capture_gen --out FILE [--packets N] [--flows N] [--seed N] "
                 "[--duration SECONDS] [--snaplen N] [--flood]\n"
                 "  (packets at least 8 x flows, duration at least 1, snaplen at least 96)\n");
    return 2;
  }
  if (options.flood) return WriteFlood(options);
  Random random(options.seed);
  std::vector<Flow> flows = MakeFlows(options, random);

  // Every packet's time, then all of them in time order.
  std::vector<PacketRef> packets;
  packets.reserve(options.packets);
  const double base = 1700000000.0;
  for (uint32_t i = 0; i < flows.size(); ++i) {
    double t = flows[i].start;
    for (uint32_t p = 0; p < flows[i].packets; ++p) {
      packets.push_back({static_cast<uint64_t>((base + t) * 1e6), i, p});
      t += flows[i].gap * (0.2 + 1.6 * random.Unit());
    }
  }
  std::stable_sort(packets.begin(), packets.end(),
                   [](const PacketRef& a, const PacketRef& b) { return a.time_us < b.time_us; });

  Writer writer(options.out, options.snaplen);
  uint64_t wire_bytes = 0;
  for (const PacketRef& ref : packets) {
    Random packet_random(options.seed ^ (uint64_t{ref.flow} << 32) ^ ref.index);
    uint32_t wire_length = 0;
    const std::vector<uint8_t> frame =
        BuildFrame(flows[ref.flow], ref.index, packet_random, wire_length);
    writer.Write(ref.time_us, frame, wire_length);
    wire_bytes += wire_length;
  }
  std::fprintf(stderr, "kpp_capture_gen: %s: %zu packets, %zu flows, %llu wire bytes\n",
               options.out.c_str(), packets.size(), flows.size(),
               static_cast<unsigned long long>(wire_bytes));
  return 0;
}
