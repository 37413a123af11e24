#include "kd_host_names.h"

#include <cstring>

namespace {

constexpr size_t kMaxName = 253;
// How much of an HTTP request is searched for its Host header.
constexpr uint32_t kHttpSearchLimit = 4096;

uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t Be24(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool NameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

// Stores text as a host name when every character is allowed; lower-cases it.
bool TakeName(const char* text, size_t length, std::string& name) {
  while (length > 0 && text[length - 1] == '.') --length;  // a fully qualified name's root
  if (length == 0 || length > kMaxName) return false;
  std::string result(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    if (!NameCharacter(text[i])) return false;
    result[i] = Lower(text[i]);
  }
  name.swap(result);
  return true;
}

// Reads within [p, p + n): a cursor that fails, and stays failed, on any read past the end.
class Reader {
 public:
  Reader(const uint8_t* p, uint32_t n) : p_(p), n_(n) {}
  bool ok() const { return ok_; }
  uint32_t left() const { return ok_ ? n_ - at_ : 0; }
  const uint8_t* here() const { return p_ + at_; }
  bool Skip(uint32_t count) {
    if (!ok_ || n_ - at_ < count) return ok_ = false;
    at_ += count;
    return true;
  }
  uint32_t U8() { return Skip(1) ? p_[at_ - 1] : 0; }
  uint32_t U16() { return Skip(2) ? Be16(p_ + at_ - 2) : 0; }
  uint32_t U24() { return Skip(3) ? Be24(p_ + at_ - 3) : 0; }

 private:
  const uint8_t* p_;
  uint32_t n_;
  uint32_t at_ = 0;
  bool ok_ = true;
};

}  // namespace

bool kdDnsQueryName(const uint8_t* payload, uint32_t length, std::string& name) {
  if (payload == nullptr || length < 12) return false;
  if (Be16(payload + 4) == 0) return false;  // no question
  uint8_t opcode = (payload[2] >> 3) & 0x0F;
  if (opcode > 5) return false;
  std::string text;
  uint32_t at = 12;
  for (;;) {
    if (at >= length) return false;
    uint8_t label = payload[at++];
    if (label == 0) break;
    if (label > 63) return false;  // a compression pointer has no place in the first question
    if (length - at < label || text.size() + label + 1 > kMaxName + 1) return false;
    if (!text.empty()) text += '.';
    text.append(reinterpret_cast<const char*>(payload + at), label);
    at += label;
  }
  return TakeName(text.data(), text.size(), name);
}

bool kdIsTlsClientHello(const uint8_t* payload, uint32_t length) {
  return payload != nullptr && length >= 6 && payload[0] == 0x16 && payload[1] == 0x03 &&
         payload[5] == 0x01;
}

bool kdTlsServerName(const uint8_t* payload, uint32_t length, std::string& name) {
  if (!kdIsTlsClientHello(payload, length)) return false;
  Reader record(payload, length);
  record.Skip(3);
  uint32_t record_length = record.U16();
  Reader hello(record.here(), record.left() < record_length ? record.left() : record_length);
  if (hello.U8() != 0x01) return false;
  uint32_t hello_length = hello.U24();
  if (hello.left() > hello_length) hello = Reader(hello.here(), hello_length);
  hello.Skip(2 + 32);       // version, random
  hello.Skip(hello.U8());   // session id
  hello.Skip(hello.U16());  // cipher suites
  hello.Skip(hello.U8());   // compression methods
  uint32_t extensions_length = hello.U16();
  if (!hello.ok()) return false;
  Reader extensions(hello.here(),
                    hello.left() < extensions_length ? hello.left() : extensions_length);
  while (extensions.left() >= 4) {
    uint32_t type = extensions.U16();
    uint32_t size = extensions.U16();
    if (extensions.left() < size) return false;
    if (type != 0) {
      extensions.Skip(size);
      continue;
    }
    Reader list(extensions.here(), size);
    uint32_t list_length = list.U16();
    Reader names(list.here(), list.left() < list_length ? list.left() : list_length);
    while (names.left() >= 3) {
      uint32_t name_type = names.U8();
      uint32_t name_length = names.U16();
      const uint8_t* text = names.here();
      if (!names.Skip(name_length)) return false;
      if (name_type == 0) {
        return TakeName(reinterpret_cast<const char*>(text), name_length, name);
      }
    }
    return false;
  }
  return false;
}

bool kdIsHttpRequest(const uint8_t* payload, uint32_t length) {
  static const char* const kMethods[] = {"GET ",     "POST ",  "HEAD ",    "PUT ",  "DELETE ",
                                         "OPTIONS ", "PATCH ", "CONNECT ", "TRACE "};
  if (payload == nullptr) return false;
  for (const char* method : kMethods) {
    size_t size = strlen(method);
    if (length >= size && memcmp(payload, method, size) == 0) return true;
  }
  return false;
}

bool kdHttpHost(const uint8_t* payload, uint32_t length, std::string& name) {
  if (!kdIsHttpRequest(payload, length)) return false;
  const char* text = reinterpret_cast<const char*>(payload);
  uint32_t end = length < kHttpSearchLimit ? length : kHttpSearchLimit;
  // Walk the header lines after the request line.
  uint32_t at = 0;
  while (at < end && text[at] != '\n') ++at;
  while (at < end) {
    uint32_t line = ++at;  // first character after '\n'
    while (at < end && text[at] != '\n') ++at;
    if (at == end) return false;  // the line runs past what was captured
    uint32_t line_end = at;
    if (line_end > line && text[line_end - 1] == '\r') --line_end;
    if (line_end == line) return false;  // the blank line ending the headers
    if (line_end - line < 5) continue;
    static const char kHost[] = "host:";
    bool is_host = true;
    for (uint32_t i = 0; i < 5; ++i) is_host = is_host && Lower(text[line + i]) == kHost[i];
    if (!is_host) continue;
    uint32_t value = line + 5;
    while (value < line_end && (text[value] == ' ' || text[value] == '\t')) ++value;
    uint32_t value_end = line_end;
    while (value_end > value && (text[value_end - 1] == ' ' || text[value_end - 1] == '\t')) {
      --value_end;
    }
    // Drop a port; a bracketed IPv6 literal is not a name and fails the character test.
    for (uint32_t i = value; i < value_end; ++i) {
      if (text[i] == ':') {
        value_end = i;
        break;
      }
    }
    return TakeName(text + value, value_end - value, name);
  }
  return false;
}
