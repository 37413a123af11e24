#include "kd_protocol_table.h"

#include <cstring>

namespace {

const kdProtocolInfo kUnknown = {kd_protocol::kUnknown, "Unknown"};

// Protocols known by their IP protocol number.
struct IpEntry {
  uint8_t ip_protocol;
  kdProtocolInfo info;
};
const IpEntry kByIpProtocol[] = {
    {1, {1, "ICMP"}},   {2, {2, "IGMP"}},   {58, {3, "ICMPv6"}}, {47, {4, "GRE"}},
    {50, {5, "ESP"}},   {51, {6, "AH"}},    {89, {7, "OSPF"}},   {132, {8, "SCTP"}},
    {112, {9, "VRRP"}}, {103, {10, "PIM"}}, {4, {11, "IPinIP"}}, {41, {12, "IPv6inIP"}},
};

// Which transports a port entry applies to.
enum Transport : uint8_t { kTcp = 1, kUdp = 2, kBoth = 3 };

struct PortEntry {
  uint16_t port;
  uint8_t transports;
  uint32_t id;
};

// Protocols known by a well-known port; ids are those of kProtocols.
const PortEntry kByPort[] = {
    {20, kTcp, 20},    {21, kTcp, 20},     {22, kTcp, 21},    {23, kTcp, 22},    {25, kTcp, 23},
    {587, kTcp, 23},   {465, kTcp, 24},    {53, kBoth, 25},   {67, kUdp, 26},    {68, kUdp, 26},
    {69, kUdp, 27},    {80, kTcp, 28},     {8080, kTcp, 28},  {8000, kTcp, 28},  {88, kBoth, 29},
    {110, kTcp, 30},   {123, kUdp, 31},    {137, kUdp, 32},   {138, kUdp, 32},   {139, kTcp, 32},
    {143, kTcp, 33},   {161, kUdp, 34},    {162, kUdp, 34},   {179, kTcp, 35},   {389, kBoth, 36},
    {443, kTcp, 37},   {8443, kTcp, 37},   {445, kTcp, 38},   {500, kUdp, 39},   {4500, kUdp, 39},
    {514, kUdp, 40},   {520, kUdp, 41},    {554, kBoth, 42},  {631, kTcp, 43},   {636, kTcp, 44},
    {993, kTcp, 45},   {995, kTcp, 46},    {1433, kTcp, 47},  {1194, kBoth, 48}, {1521, kTcp, 49},
    {1701, kUdp, 50},  {1723, kTcp, 51},   {1812, kUdp, 52},  {1813, kUdp, 52},  {1883, kTcp, 53},
    {1900, kUdp, 54},  {2049, kBoth, 55},  {3128, kTcp, 56},  {3306, kTcp, 57},  {3389, kBoth, 58},
    {3478, kBoth, 59}, {5060, kBoth, 60},  {5061, kTcp, 60},  {5222, kTcp, 61},  {5353, kUdp, 62},
    {5355, kUdp, 63},  {5432, kTcp, 64},   {6379, kTcp, 65},  {6667, kTcp, 66},  {8883, kTcp, 67},
    {9418, kTcp, 68},  {11211, kBoth, 69}, {27017, kTcp, 70}, {443, kUdp, 71},   {51820, kUdp, 72},
    {546, kUdp, 73},   {547, kUdp, 73},    {6881, kBoth, 74}, {4789, kUdp, 75},  {6081, kUdp, 76},
    {5246, kUdp, 77},  {5247, kUdp, 77},   {2055, kUdp, 78},  {4739, kUdp, 78},  {3784, kUdp, 79},
    {646, kBoth, 80},  {1985, kUdp, 81},   {502, kTcp, 82},   {119, kTcp, 83},   {113, kTcp, 84},
    {49, kBoth, 85},   {5900, kTcp, 86},   {2000, kTcp, 88},  {1080, kTcp, 89},  {5683, kUdp, 90},
    {548, kTcp, 92},
};

const kdProtocolInfo kProtocols[] = {
    {20, "FTP"},     {21, "SSH"},        {22, "Telnet"},    {23, "SMTP"},    {24, "SMTPS"},
    {25, "DNS"},     {26, "DHCP"},       {27, "TFTP"},      {28, "HTTP"},    {29, "Kerberos"},
    {30, "POP3"},    {31, "NTP"},        {32, "NetBIOS"},   {33, "IMAP"},    {34, "SNMP"},
    {35, "BGP"},     {36, "LDAP"},       {37, "TLS"},       {38, "SMB"},     {39, "IKE"},
    {40, "Syslog"},  {41, "RIP"},        {42, "RTSP"},      {43, "IPP"},     {44, "LDAPS"},
    {45, "IMAPS"},   {46, "POP3S"},      {47, "MSSQL"},     {48, "OpenVPN"}, {49, "Oracle"},
    {50, "L2TP"},    {51, "PPTP"},       {52, "RADIUS"},    {53, "MQTT"},    {54, "SSDP"},
    {55, "NFS"},     {56, "HTTP_Proxy"}, {57, "MySQL"},     {58, "RDP"},     {59, "STUN"},
    {60, "SIP"},     {61, "XMPP"},       {62, "MDNS"},      {63, "LLMNR"},   {64, "PostgreSQL"},
    {65, "Redis"},   {66, "IRC"},        {67, "MQTTS"},     {68, "Git"},     {69, "Memcached"},
    {70, "MongoDB"}, {71, "QUIC"},       {72, "WireGuard"}, {73, "DHCPv6"},  {74, "BitTorrent"},
    {75, "VXLAN"},   {76, "Geneve"},     {77, "CAPWAP"},    {78, "NetFlow"}, {79, "BFD"},
    {80, "LDP"},     {81, "HSRP"},       {82, "Modbus"},    {83, "NNTP"},    {84, "Ident"},
    {85, "TACACS"},  {86, "VNC"},        {88, "SCCP"},      {89, "SOCKS"},   {90, "CoAP"},
    {92, "AFP"},
};

struct HostEntry {
  const char* domain;
  kdApplicationInfo info;
};
const HostEntry kByHost[] = {
    {"example.com", {1, "example"}},
    {"example.net", {1, "example"}},
    {"example.org", {1, "example"}},
    {"google.com", {2, "google"}},
    {"googleapis.com", {2, "google"}},
    {"gstatic.com", {2, "google"}},
    {"youtube.com", {3, "youtube"}},
    {"googlevideo.com", {3, "youtube"}},
    {"ytimg.com", {3, "youtube"}},
    {"facebook.com", {4, "facebook"}},
    {"fbcdn.net", {4, "facebook"}},
    {"microsoft.com", {5, "microsoft"}},
    {"windowsupdate.com", {5, "microsoft"}},
    {"live.com", {5, "microsoft"}},
    {"office.com", {5, "microsoft"}},
    {"apple.com", {6, "apple"}},
    {"icloud.com", {6, "apple"}},
    {"amazon.com", {7, "amazon"}},
    {"amazonaws.com", {7, "amazon"}},
    {"netflix.com", {8, "netflix"}},
    {"nflxvideo.net", {8, "netflix"}},
    {"wikipedia.org", {9, "wikipedia"}},
    {"wikimedia.org", {9, "wikipedia"}},
    {"github.com", {10, "github"}},
    {"githubusercontent.com", {10, "github"}},
    {"debian.org", {11, "debian"}},
    {"cloudflare.com", {12, "cloudflare"}},
    {"twitter.com", {13, "twitter"}},
    {"twimg.com", {13, "twitter"}},
    {"whatsapp.net", {14, "whatsapp"}},
    {"whatsapp.com", {14, "whatsapp"}},
    {"zoom.us", {15, "zoom"}},
};

const kdProtocolInfo* PortLookup(uint8_t transport, uint16_t port) {
  for (const PortEntry& entry : kByPort) {
    if (entry.port == port && (entry.transports & transport) != 0) return &kdProtocolById(entry.id);
  }
  return nullptr;
}

}  // namespace

const kdProtocolInfo& kdProtocolById(uint32_t id) {
  for (const IpEntry& entry : kByIpProtocol) {
    if (entry.info.id == id) return entry.info;
  }
  for (const kdProtocolInfo& info : kProtocols) {
    if (info.id == id) return info;
  }
  return kUnknown;
}

const kdProtocolInfo& kdProtocolByIpProtocol(uint8_t ip_protocol) {
  for (const IpEntry& entry : kByIpProtocol) {
    if (entry.ip_protocol == ip_protocol) return entry.info;
  }
  return kUnknown;
}

const kdProtocolInfo& kdProtocolByPorts(uint8_t ip_protocol, uint16_t responder_port,
                                        uint16_t initiator_port) {
  uint8_t transport = ip_protocol == 6 ? kTcp : ip_protocol == 17 ? kUdp : 0;
  if (transport == 0) return kdProtocolByIpProtocol(ip_protocol);
  if (const kdProtocolInfo* found = PortLookup(transport, responder_port)) return *found;
  if (const kdProtocolInfo* found = PortLookup(transport, initiator_port)) return *found;
  return kUnknown;
}

const kdApplicationInfo* kdApplicationByHostName(const std::string& host_name) {
  for (const HostEntry& entry : kByHost) {
    size_t size = strlen(entry.domain);
    if (host_name.size() < size) continue;
    size_t start = host_name.size() - size;
    if (host_name.compare(start, size, entry.domain) != 0) continue;
    if (start == 0 || host_name[start - 1] == '.') return &entry.info;
  }
  return nullptr;
}
