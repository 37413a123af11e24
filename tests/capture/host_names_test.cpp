#include "kd_host_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "kd_protocol_table.h"
#include "packet_builder.h"

namespace {

using namespace capture_testing;

Bytes DnsQuery(const std::vector<std::string>& labels) {
  Bytes b = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  for (const auto& label : labels) {
    b.push_back(static_cast<uint8_t>(label.size()));
    b.insert(b.end(), label.begin(), label.end());
  }
  b.push_back(0);
  Put16(b, 1);
  Put16(b, 1);
  return b;
}

Bytes ClientHello(const std::string& server_name) {
  Bytes sni;
  Put16(sni, static_cast<uint16_t>(server_name.size() + 3));
  sni.push_back(0);
  Put16(sni, static_cast<uint16_t>(server_name.size()));
  sni.insert(sni.end(), server_name.begin(), server_name.end());
  Bytes extensions;
  Put16(extensions, 0x000A);  // supported groups first, to be skipped
  Put16(extensions, 4);
  Put32(extensions, 0x0002001D);
  Put16(extensions, 0);
  Put16(extensions, static_cast<uint16_t>(sni.size()));
  extensions = Concat(extensions, sni);
  Bytes hello = {0x03, 0x03};
  hello.resize(2 + 32, 0xAB);
  hello.push_back(0);  // session id
  Put16(hello, 2);
  Put16(hello, 0x1301);
  hello.push_back(1);
  hello.push_back(0);
  Put16(hello, static_cast<uint16_t>(extensions.size()));
  hello = Concat(hello, extensions);
  Bytes handshake = {0x01};
  handshake.push_back(0);
  Put16(handshake, static_cast<uint16_t>(hello.size()));
  handshake = Concat(handshake, hello);
  Bytes record = {0x16, 0x03, 0x01};
  Put16(record, static_cast<uint16_t>(handshake.size()));
  return Concat(record, handshake);
}

// Calls f on a heap copy of exactly n bytes, so that reads past them are caught.
template <typename F>
bool OnCopy(const Bytes& b, size_t n, F f) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[n == 0 ? 1 : n]);
  memcpy(copy.get(), b.data(), n);
  return f(copy.get(), static_cast<uint32_t>(n));
}

TEST(HostNames, DnsQueryName) {
  std::string name;
  EXPECT_TRUE(kdDnsQueryName(DnsQuery({"WWW", "Example", "com"}).data(),
                             static_cast<uint32_t>(DnsQuery({"WWW", "Example", "com"}).size()),
                             name));
  EXPECT_EQ(name, "www.example.com");

  Bytes pointer = DnsQuery({"a"});
  pointer[12] = 0xC0;  // a compression pointer where the name starts
  EXPECT_FALSE(kdDnsQueryName(pointer.data(), static_cast<uint32_t>(pointer.size()), name));
  Bytes odd = DnsQuery({"bad name"});
  EXPECT_FALSE(kdDnsQueryName(odd.data(), static_cast<uint32_t>(odd.size()), name));
  Bytes none = DnsQuery({"x"});
  none[5] = 0;  // no question
  EXPECT_FALSE(kdDnsQueryName(none.data(), static_cast<uint32_t>(none.size()), name));
}

TEST(HostNames, TlsServerName) {
  Bytes hello = ClientHello("Secure.Example.org");
  std::string name;
  EXPECT_TRUE(kdIsTlsClientHello(hello.data(), static_cast<uint32_t>(hello.size())));
  ASSERT_TRUE(kdTlsServerName(hello.data(), static_cast<uint32_t>(hello.size()), name));
  EXPECT_EQ(name, "secure.example.org");
  Bytes server_hello = hello;
  server_hello[5] = 0x02;
  EXPECT_FALSE(
      kdTlsServerName(server_hello.data(), static_cast<uint32_t>(server_hello.size()), name));
}

TEST(HostNames, HttpHost) {
  std::string name;
  Bytes request = Text("POST /x HTTP/1.1\r\nUser-Agent: t\r\nHOST:  Api.Example.net:8080 \r\n\r\n");
  ASSERT_TRUE(kdHttpHost(request.data(), static_cast<uint32_t>(request.size()), name));
  EXPECT_EQ(name, "api.example.net");
  Bytes no_host = Text("GET / HTTP/1.0\r\nAccept: */*\r\n\r\nHost: late.example\r\n");
  EXPECT_FALSE(kdHttpHost(no_host.data(), static_cast<uint32_t>(no_host.size()), name));
  Bytes response = Text("HTTP/1.1 200 OK\r\nHost: x\r\n\r\n");
  EXPECT_FALSE(kdHttpHost(response.data(), static_cast<uint32_t>(response.size()), name));
}

// No prefix of a well-formed message is read past its end, and none yields a wrong name.
TEST(HostNames, EveryPrefixIsSafe) {
  Bytes dns = DnsQuery({"www", "example", "com"});
  Bytes tls = ClientHello("secure.example.org");
  Bytes http = Text("GET / HTTP/1.1\r\nHost: example.com\r\n\r\n");
  for (size_t n = 0; n <= tls.size(); ++n) {
    std::string name;
    if (n <= dns.size() &&
        OnCopy(dns, n, [&](const uint8_t* p, uint32_t k) { return kdDnsQueryName(p, k, name); })) {
      EXPECT_EQ(name, "www.example.com");
    }
    if (OnCopy(tls, n, [&](const uint8_t* p, uint32_t k) { return kdTlsServerName(p, k, name); })) {
      EXPECT_EQ(name, "secure.example.org");
    }
    if (n <= http.size() &&
        OnCopy(http, n, [&](const uint8_t* p, uint32_t k) { return kdHttpHost(p, k, name); })) {
      EXPECT_EQ(name, "example.com");
    }
  }
}

TEST(ProtocolTable, PortsAndHostNames) {
  EXPECT_STREQ(kdProtocolByPorts(6, 443, 51000).name, "TLS");
  EXPECT_STREQ(kdProtocolByPorts(17, 443, 51000).name, "QUIC");
  EXPECT_STREQ(kdProtocolByPorts(17, 51000, 53).name, "DNS");  // a reply seen first
  EXPECT_STREQ(kdProtocolByPorts(17, 53, 123).name, "DNS");    // the responder's port wins
  EXPECT_EQ(kdProtocolByPorts(6, 51000, 52000).id, kd_protocol::kUnknown);
  EXPECT_STREQ(kdProtocolByPorts(6, 80, 1).name, kdProtocolById(kd_protocol::kHttp).name);
  EXPECT_STREQ(kdProtocolByIpProtocol(58).name, "ICMPv6");
  EXPECT_STREQ(kdProtocolByIpProtocol(250).name, "Unknown");

  ASSERT_NE(kdApplicationByHostName("www.example.com"), nullptr);
  EXPECT_STREQ(kdApplicationByHostName("example.com")->name, "example");
  EXPECT_EQ(kdApplicationByHostName("badexample.com"), nullptr);
  EXPECT_EQ(kdApplicationByHostName("com"), nullptr);
}

}  // namespace
