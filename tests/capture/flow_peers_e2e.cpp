// korvia-replay against real flow peers, on the loopback address only: softflowd's export
// collected by nfcapd and by us, our export stored by nfcapd and decoded by tshark, and
// pmacctd's sFlow collected by us. Each test skips when its peer is not installed
// (scripts/bootstrap installs them all).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "command_output.h"
#include "test_support.h"

namespace {

using nlohmann::json;
using testing_support::TempDir;

#define REQUIRE_PEER(program)                                \
  if (system("command -v " program " >/dev/null 2>&1") != 0) \
  GTEST_SKIP() << program " is not installed (scripts/bootstrap installs it)"

const char* const kCaptures[] = {"dhcp-rfc4388.pcap", "ssh.pcap"};

std::string DataFile(const std::string& name) {
  return std::string(KORVIA_TEST_DATA) + "/" + name;
}

using testing_support::CommandOutput;

// Binds fd to a loopback port the kernel picks, and returns the port.
uint16_t BindLoopback(int fd) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A loopback UDP port nobody uses at the moment.
uint16_t FreePort(int type = SOCK_DGRAM) {
  int fd = socket(AF_INET, type, 0);
  const uint16_t port = BindLoopback(fd);
  close(fd);
  return port;
}

// A program run in the background, its output in a file; stopped with SIGTERM.
class Background {
 public:
  // Standard output goes to out, standard error to log (or to out when log is empty).
  Background(const std::string& command, const std::string& out, const std::string& log = "")
      : log_(log.empty() ? out : log) {
    const std::string redirect = " >'" + out + "' " + (log.empty() ? "2>&1" : "2>'" + log + "'");
    pid_ = fork();
    if (pid_ == 0) {
      execl("/bin/sh", "sh", "-c", ("exec " + command + redirect).c_str(), nullptr);
      _exit(127);
    }
  }
  ~Background() { Stop(); }
  // Waits (generously) until the log holds text.
  bool WaitForLog(const std::string& text) {
    return testing_support::WaitFor(
        [&] {
          std::ifstream in(log_);
          std::stringstream content;
          content << in.rdbuf();
          return content.str().find(text) != std::string::npos;
        },
        std::chrono::seconds(30));
  }
  pid_t pid() const { return pid_; }
  int Stop() {
    if (pid_ <= 0) return status_;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  int status_ = -1;
};

struct Totals {
  uint64_t packets = 0;
  uint64_t bytes = 0;
  bool operator==(const Totals& o) const { return packets == o.packets && bytes == o.bytes; }
};
using PairTotals = std::map<std::string, Totals>;

std::ostream& operator<<(std::ostream& out, const Totals& t) {
  return out << t.packets << " packets, " << t.bytes << " bytes";
}
std::ostream& operator<<(std::ostream& out, const PairTotals& pairs) {
  for (const auto& [pair, t] : pairs) out << "\n  " << pair << ": " << t;
  return out;
}

std::string PairKey(const std::string& a, const std::string& b) {
  return a < b ? a + " " + b : b + " " + a;
}

Totals Sum(const PairTotals& pairs) {
  Totals sum;
  for (const auto& [pair, t] : pairs) {
    sum.packets += t.packets;
    sum.bytes += t.bytes;
  }
  return sum;
}

// Type 2 rows, flat, all at the end of the run.
std::string WriteType2Conf(const TempDir& dir) {
  return dir.Write("conf.json", R"({"aggregator": 2, "privacy_mode": false, "nested": false,
    "log_interval": 3600, "sinks": {"sink": {"ch": {}}}})");
}

// Our tracker's per pair totals: packets, and the bytes it counted.
PairTotals ReplayPairs(const std::string& out_path) {
  PairTotals pairs;
  std::ifstream in(out_path);
  std::string line;
  while (std::getline(in, line)) {
    json dispatch = json::parse(line);
    if (!dispatch.contains("payload")) continue;
    for (const json& row : dispatch["payload"]["stats"]) {
      Totals& t = pairs[PairKey(row["local_ip"], row["other_ip"])];
      t.packets += row["packets"].get<uint64_t>();
      t.bytes += row["local_bytes"].get<uint64_t>() + row["other_bytes"].get<uint64_t>();
    }
  }
  return pairs;
}

// What nfcapd stored in dir, per address pair.
PairTotals NfdumpPairs(const std::string& dir) {
  PairTotals pairs;
  std::istringstream in(
      CommandOutput("nfdump -R '" + dir + "' -q -N -o 'fmt:%sa %da %pkt %byt' 2>&1"));
  std::string source, destination;
  uint64_t packets, bytes;
  while (in >> source >> destination >> packets >> bytes) {
    Totals& t = pairs[PairKey(source, destination)];
    t.packets += packets;
    t.bytes += bytes;
  }
  return pairs;
}

// tshark's IP packets per pair of the outermost IP header, with their IP lengths or, for
// frame_bytes, their frames' lengths.
PairTotals TsharkPairs(const std::string& path, bool frame_bytes = false) {
  PairTotals pairs;
  std::istringstream in(
      CommandOutput("tshark -n -r '" + path +
                    "' -T fields -E occurrence=f -e ip.src -e ip.dst -e ip.len "
                    "-e ipv6.src -e ipv6.dst -e ipv6.plen -e frame.len 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) f.push_back(field);
    f.resize(7);
    bool v4 = !f[0].empty();
    if (!v4 && f[3].empty()) continue;
    Totals& t = pairs[v4 ? PairKey(f[0], f[1]) : PairKey(f[3], f[4])];
    t.packets += 1;
    t.bytes += frame_bytes ? std::stoull(f[6]) : v4 ? std::stoull(f[2]) : std::stoull(f[5]) + 40;
  }
  return pairs;
}

// nfcapd storing what comes to port in dir, until the object goes.
struct Nfcapd {
  Nfcapd(const TempDir& scratch, const std::string& name)
      : dir(scratch.File(name)), port(FreePort()) {
    mkdir(dir.c_str(), 0755);
    process = std::make_unique<Background>(
        "nfcapd -w '" + dir + "' -b 127.0.0.1 -p " + std::to_string(port), dir + ".log");
    process->WaitForLog("Startup");
  }
  // Stops nfcapd, which writes its file, and reads it.
  PairTotals Pairs() {
    process->Stop();
    return NfdumpPairs(dir);
  }
  std::string dir;
  uint16_t port;
  std::unique_ptr<Background> process;
};

// korvia-replay collecting on netflow:// or sflow:// until stopped.
struct Collector {
  Collector(const TempDir& scratch, const std::string& scheme)
      : out(scratch.File(scheme + ".jsonl")), log(scratch.File(scheme + ".log")), port(FreePort()) {
    std::string url = scheme + "://127.0.0.1:" + std::to_string(port);
    process = std::make_unique<Background>(std::string(KORVIA_REPLAY_PATH) + " --plugin " +
                                               KORVIA_PLUGIN_PATH + " --conf '" +
                                               WriteType2Conf(scratch) + "' --listen " + url,
                                           out, log);
    EXPECT_TRUE(process->WaitForLog("collecting until")) << log;
  }
  PairTotals Pairs() {
    EXPECT_EQ(process->Stop(), 0);
    return ReplayPairs(out);
  }
  std::string out, log;
  uint16_t port;
  std::unique_ptr<Background> process;
};

// softflowd reads a capture and exports it, every flow, to port.
void Softflowd(const TempDir& scratch, const std::string& capture, int version, uint16_t port) {
  std::string control = scratch.File("softflowd.ctl");
  std::string script =
      "softflowd -a -d -r '" + DataFile(capture) + "' -n 127.0.0.1:" + std::to_string(port) +
      " -v " + std::to_string(version) + " -p '" + scratch.File("softflowd.pid") + "' -c '" +
      control + "' >/dev/null 2>&1 & " +
      // It reads the file once its control socket is served.
      "for i in $(seq 300); do [ -S '" + control +
      "' ] && break; sleep 0.1; done; softflowctl -c '" + control +
      "' statistics >/dev/null && softflowctl -c '" + control + "' shutdown >/dev/null; wait";
  ASSERT_EQ(system(script.c_str()), 0) << script;
}

// Datagrams arrive over loopback at once, but the collectors read them in their own time.
void LetCollectorsRead() {
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

TEST(FlowPeers, SoftflowdIntoNfcapdAndOurCollectorAgree) {
  REQUIRE_PEER("softflowd");
  REQUIRE_PEER("nfcapd");
  for (int version : {5, 9, 10}) {
    SCOPED_TRACE("NetFlow version " + std::to_string(version));
    TempDir scratch;
    Nfcapd nfcapd(scratch, "nfcapd");
    Collector ours(scratch, "netflow");
    for (const char* capture : kCaptures) {
      Softflowd(scratch, capture, version, nfcapd.port);
      Softflowd(scratch, capture, version, ours.port);
    }
    LetCollectorsRead();
    PairTotals theirs = nfcapd.Pairs();
    PairTotals collected = ours.Pairs();
    ASSERT_GT(Sum(theirs).packets, 0u);
    EXPECT_EQ(Sum(collected), Sum(theirs)) << "ours:" << collected << "\nnfcapd:" << theirs;
    EXPECT_EQ(collected, theirs);
  }
}

using Datagram = std::vector<uint8_t>;

// Sends datagram to a loopback port, times times.
void SendTo(uint16_t port, const Datagram& datagram, int times = 1) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < times; ++i)
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  close(fd);
}

// Keeps what comes to a loopback port: our export, for nfcapd and tshark.
struct Catcher {
  Catcher() : fd(socket(AF_INET, SOCK_DGRAM, 0)), port(BindLoopback(fd)) {}
  ~Catcher() { close(fd); }
  std::vector<Datagram> Take() {
    std::vector<Datagram> datagrams;
    Datagram buffer(65536);
    ssize_t got;
    while ((got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT)) >= 0)
      datagrams.emplace_back(buffer.begin(), buffer.begin() + got);
    return datagrams;
  }
  int fd;
  uint16_t port = 0;
};

// The datagrams as a raw-IP capture of UDP from and to 127.0.0.1, to port.
void WriteCapture(const std::string& path, const std::vector<Datagram>& datagrams, uint16_t port) {
  pcap_t* dead = pcap_open_dead(DLT_RAW, 65535);
  pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
  for (size_t i = 0; i < datagrams.size(); ++i) {
    const size_t udp = 8 + datagrams[i].size(), total = 20 + udp;
    Datagram packet = {0x45, 0, uint8_t(total >> 8), uint8_t(total), 0, 0, 0x40, 0, 64, 17, 0, 0};
    for (int side = 0; side < 2; ++side) packet.insert(packet.end(), {127, 0, 0, 1});
    packet.insert(packet.end(), {0x9c, 0x40, uint8_t(port >> 8), uint8_t(port), uint8_t(udp >> 8),
                                 uint8_t(udp), 0, 0});
    packet.insert(packet.end(), datagrams[i].begin(), datagrams[i].end());
    pcap_pkthdr h{};
    h.ts.tv_sec = 1700000000 + static_cast<long>(i);
    h.caplen = h.len = static_cast<bpf_u_int32>(total);
    pcap_dump(reinterpret_cast<u_char*>(dumper), &h, packet.data());
  }
  pcap_dump_close(dumper);
  pcap_close(dead);
}

// Runs a replay of the test captures that exports to port; returns our tracker's pairs.
PairTotals ReplayExporting(const TempDir& scratch, const std::string& url) {
  std::string out = scratch.File("export.jsonl");
  std::string command = std::string(KORVIA_REPLAY_PATH) + " --plugin " + KORVIA_PLUGIN_PATH +
                        " --conf '" + WriteType2Conf(scratch) + "' --export " + url;
  for (const char* capture : kCaptures) command += " --pcap '" + DataFile(capture) + "'";
  command += " >'" + out + "' 2>'" + scratch.File("export.log") + "'";
  EXPECT_EQ(system(command.c_str()), 0) << command;
  return ReplayPairs(out);
}

// Our export of the test captures in each dialect: nfcapd stores tshark's IP packets and IP
// lengths pair by pair, and our tracker's packets; tshark finds nothing malformed in it.
TEST(FlowPeers, OurExportIntoNfcapdAndTshark) {
  REQUIRE_PEER("nfcapd");
  REQUIRE_PEER("tshark");
  PairTotals expected;  // IP packets and IP lengths of the captures
  for (const char* capture : kCaptures) {
    for (const auto& [pair, t] : TsharkPairs(DataFile(capture))) {
      expected[pair].packets += t.packets;
      expected[pair].bytes += t.bytes;
    }
  }
  ASSERT_GT(Sum(expected).packets, 0u);
  // nfcapd stores uniflows: biflows go to tshark only.
  for (auto [scheme, options] :
       {std::pair{"ipfix", ""}, std::pair{"netflow9", ""}, std::pair{"netflow5", ""},
        std::pair{"ipfix", " --export-biflow --export-domain 7"}}) {
    const bool biflow = *options != '\0';
    SCOPED_TRACE(std::string(scheme) + options);
    TempDir scratch;
    Catcher catcher;
    PairTotals tracked = ReplayExporting(
        scratch, scheme + ("://127.0.0.1:" + std::to_string(catcher.port)) + options);
    std::vector<Datagram> datagrams = catcher.Take();
    ASSERT_FALSE(datagrams.empty());

    const std::string capture = scratch.File("ours.pcap");
    WriteCapture(capture, datagrams, catcher.port);
    std::string text = CommandOutput("tshark -n -r '" + capture + "' -d udp.port==" +
                                     std::to_string(catcher.port) + ",cflow -V 2>&1");
    size_t decoded = 0;
    for (size_t at = text.find("Cisco NetFlow/IPFIX"); at != std::string::npos;
         at = text.find("Cisco NetFlow/IPFIX", at + 1))
      ++decoded;
    EXPECT_EQ(decoded, datagrams.size());
    EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
    EXPECT_EQ(text.find("Expert Info (Error"), std::string::npos) << text;
    if (biflow) continue;

    Nfcapd nfcapd(scratch, "nfcapd");
    for (const Datagram& d : datagrams) SendTo(nfcapd.port, d);
    LetCollectorsRead();
    PairTotals stored = nfcapd.Pairs();
    EXPECT_EQ(stored, expected);
    // The tracker counts frames, the export IP bytes: the packets agree pair by pair.
    ASSERT_EQ(tracked.size(), stored.size()) << "tracked:" << tracked << "\nstored:" << stored;
    for (const auto& [pair, t] : tracked) EXPECT_EQ(t.packets, stored[pair].packets) << pair;
  }
}

TEST(FlowPeers, PmacctdSflowIntoOurCollectorCountsEveryPacket) {
  REQUIRE_PEER("pmacctd");
  REQUIRE_PEER("tshark");
  REQUIRE_PEER("mergecap");
  TempDir scratch;
  Collector ours(scratch, "sflow");
  PairTotals expected;  // frames, as the tracker counts them
  // pmacctd's plugin may not send its last samples when the core ends first, on a busy machine:
  // each capture is followed by a tail of other traffic, whose pairs are left out of the count.
  const std::string tail = DataFile("afs.pcap");
  const PairTotals tail_pairs = TsharkPairs(tail, true);
  std::string logs;
  for (const char* capture : kCaptures) {
    const std::string file = scratch.File("with-tail.pcap");
    ASSERT_EQ(
        system(("mergecap -F pcap -a -w '" + file + "' '" + DataFile(capture) + "' '" + tail + "'")
                   .c_str()),
        0);
    std::string conf =
        scratch.Write("pmacctd.conf", "daemonize: false\npcap_savefile: " + file +
                                          "\nplugins: sfprobe\nsfprobe_receiver: "
                                          "127.0.0.1:" +
                                          std::to_string(ours.port) + "\nsampling_rate: 1\n");
    // It reads the file, sends its samples and exits, with status 1 when its plugin ended
    // first: the totals below tell whether all came.
    std::string log = scratch.File("pmacctd.log");
    std::string command = "timeout 60 pmacctd -f '" + conf + "' >'" + log + "' 2>&1";
    if (system(command.c_str()) != 0) logs += CommandOutput("cat '" + log + "'");
    for (const auto& [pair, t] : TsharkPairs(DataFile(capture), true)) {
      expected[pair].packets += t.packets;
      expected[pair].bytes += t.bytes;
    }
  }
  LetCollectorsRead();
  PairTotals collected = ours.Pairs();
  for (const auto& entry : tail_pairs) collected.erase(entry.first);
  EXPECT_EQ(collected, expected) << "ours:" << collected << "\nexpected:" << expected << "\n"
                                 << logs;
}

// Without a peer: what the collector says about bad input and sampling, with the exporter's
// address, while it runs.
TEST(FlowCollectorProgram, BadInputAndSamplingAreReportedWithTheExporter) {
  TempDir scratch;
  Collector ours(scratch, "netflow");
  SendTo(ours.port, {0, 42, 0, 1, 2, 3, 4, 5});  // version 42
  SendTo(ours.port, {0, 10, 0, 200, 0, 0});      // IPFIX whose length runs past the datagram
  std::vector<uint8_t> v5(24 + 48, 0);           // one v5 record, sampled 1 in 100
  v5[1] = 5;
  v5[3] = 1;
  v5[22] = 0x40;
  v5[23] = 100;
  v5[24] = 10;  // 10.0.0.1 -> 10.0.0.2, 3 packets of 100 bytes
  v5[27] = 1;
  v5[28] = 10;
  v5[31] = 2;
  v5[24 + 19] = 3;
  v5[24 + 23] = 100;
  v5[24 + 38] = 17;
  SendTo(ours.port, v5);
  LetCollectorsRead();
  PairTotals collected = ours.Pairs();
  EXPECT_EQ(collected["10.0.0.1 10.0.0.2"], (Totals{300, 10000}));
  std::string log = CommandOutput("cat '" + ours.log + "'");
  EXPECT_NE(log.find("exporter 127.0.0.1: 1 datagrams of an unknown version, 1 malformed"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("exporter 127.0.0.1, NetFlow v5 domain 0: sampling rate 1 in 100"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("3 datagrams, 1 flow records, 0 dropped by the kernel"), std::string::npos)
      << log;
}

// Datagrams the kernel dropped while the collector was not reading are counted, not lost
// silently: here the program is stopped while a burst overflows its receive buffer.
TEST(FlowCollectorProgram, KernelDropsAreCounted) {
  TempDir scratch;
  const uint16_t port = FreePort();
  const std::string log = scratch.File("listen.log");
  Background process(std::string(KORVIA_REPLAY_PATH) + " --plugin " + KORVIA_PLUGIN_PATH +
                         " --conf '" + WriteType2Conf(scratch) + "' --listen-buffer 1" +
                         " --listen netflow://127.0.0.1:" + std::to_string(port),
                     scratch.File("listen.jsonl"), log);
  ASSERT_TRUE(process.WaitForLog("collecting until"));
  ASSERT_EQ(kill(process.pid(), SIGSTOP), 0);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<uint8_t> datagram(1400, 0);  // version 0: counted as unknown, nothing more
  const int sent = 10000;                  // 14 MB: far more than a buffer of 1 MiB holds
  for (int i = 0; i < sent; ++i)
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  close(fd);
  kill(process.pid(), SIGCONT);
  LetCollectorsRead();
  EXPECT_EQ(process.Stop(), 0);
  std::string text = CommandOutput("cat '" + log + "'");
  unsigned long long read = 0, records = 0, dropped = 0;
  size_t at = text.find(": ", text.find("datagrams, ") - 12);
  ASSERT_NE(text.find("dropped by the kernel (receive buffer full"), std::string::npos) << text;
  ASSERT_EQ(sscanf(text.c_str() + at, ": %llu datagrams, %llu flow records, %llu dropped", &read,
                   &records, &dropped),
            3)
      << text;
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(read + dropped, static_cast<unsigned long long>(sent)) << text;
}

}  // namespace
