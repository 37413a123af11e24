// Host names found in the first payload of a flow: the query name of a DNS message, the server
// name of a TLS ClientHello and the Host header of an HTTP request.
//
// Each function is pure, reads at most length bytes of payload and accepts only names made of
// letters, digits, '-', '_' and '.', at most 253 characters, returned in lower case. A payload
// cut short by the capture simply yields no name.
#pragma once

#include <cstdint>
#include <string>

// The first question's name of a DNS message (UDP, no length prefix).
bool kdDnsQueryName(const uint8_t* payload, uint32_t length, std::string& name);

// True when the payload starts a TLS handshake record holding a ClientHello.
bool kdIsTlsClientHello(const uint8_t* payload, uint32_t length);
// The server_name extension of a ClientHello in the payload's first record.
bool kdTlsServerName(const uint8_t* payload, uint32_t length, std::string& name);

// True when the payload starts with an HTTP request line's method and a space.
bool kdIsHttpRequest(const uint8_t* payload, uint32_t length);
// The Host header of an HTTP request, without a port.
bool kdHttpHost(const uint8_t* payload, uint32_t length, std::string& name);
