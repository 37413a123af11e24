#include <netdb.h>

#include <cstring>
#include <utility>

#include "replay_flow_options.h"

namespace kdreplay {

namespace {

using Scheme = FlowEndpoint::Scheme;

const std::pair<const char*, Scheme> kListenSchemes[] = {{"netflow", Scheme::kNetflow},
                                                         {"sflow", Scheme::kSflow}};
const std::pair<const char*, Scheme> kExportSchemes[] = {
    {"ipfix", Scheme::kIpfix}, {"netflow9", Scheme::kNetflow9}, {"netflow5", Scheme::kNetflow5}};

}  // namespace

bool ParseFlowEndpoint(const std::string& text, bool listen, FlowEndpoint& endpoint,
                       std::string& error) {
  const char* option = listen ? "--listen" : "--export";
  const std::string expected =
      listen ? "netflow://ADDR:PORT or sflow://ADDR:PORT"
             : "ipfix://HOST:PORT, netflow9://HOST:PORT or netflow5://HOST:PORT";
  error = std::string(option) + " expects " + expected + ", got \"" + text + "\"";
  size_t separator = text.find("://");
  if (separator == std::string::npos) return false;
  const std::string scheme = text.substr(0, separator);
  bool known = false;
  const auto* first = listen ? std::begin(kListenSchemes) : std::begin(kExportSchemes);
  const auto* last = listen ? std::end(kListenSchemes) : std::end(kExportSchemes);
  for (const auto* entry = first; entry != last; ++entry) {
    if (scheme == entry->first) {
      endpoint.scheme = entry->second;
      known = true;
    }
  }
  if (!known) return false;
  std::string rest = text.substr(separator + 3);
  size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size()) return false;
  std::string host = rest.substr(0, colon);
  const std::string port = rest.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 ||
      std::stoi(port) == 0 || std::stoi(port) > 65535)
    return false;
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = listen ? AI_PASSIVE : 0;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    error = std::string(option) + " " + text + ": " + gai_strerror(rc);
    return false;
  }
  memcpy(&endpoint.address, found->ai_addr, found->ai_addrlen);
  endpoint.address_length = found->ai_addrlen;
  freeaddrinfo(found);
  endpoint.text = text;
  error.clear();
  return true;
}

}  // namespace kdreplay
