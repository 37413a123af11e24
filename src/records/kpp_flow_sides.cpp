#include "kpp_flow_sides.h"

#include <charconv>

kppSides kppSelectSides(const kdFlow& flow, bool local_is_a) {
  kppEndpoint a{&flow.mac_a, &flow.addr_a, flow.bytes_a, flow.packets_a};
  kppEndpoint b{&flow.mac_b, &flow.addr_b, flow.bytes_b, flow.packets_b};
  return local_is_a ? kppSides{a, b} : kppSides{b, a};
}

bool kppLocalOrigin(const kdFlow& flow) {
  if (flow.origin == 2) return flow.endpoint_map == 2;
  return flow.endpoint_map == 1;
}

void kppAppendDecimal(std::string& text, uint64_t value) {
  char digits[20];
  const char* end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  text.append(digits, static_cast<size_t>(end - digits));
}

void kppAppendApplicationLabel(std::string& text, const kdFlow& flow) {
  kppAppendDecimal(text, flow.detected_application);
  text += '.';
  text += flow.detected_application_name.empty() ? "korvia.unclassified"
                                                 : flow.detected_application_name;
}

std::string kppApplicationLabel(const kdFlow& flow) {
  std::string label;
  kppAppendApplicationLabel(label, flow);
  return label;
}

const char* kppOtherTypeWord(uint8_t code) {
  switch (code) {
    case kdFlow::OTHER_UNSUPPORTED:
      return "unsupported";
    case kdFlow::OTHER_LOCAL:
      return "local";
    case kdFlow::OTHER_MULTICAST:
      return "multicast";
    case kdFlow::OTHER_BROADCAST:
      return "broadcast";
    case kdFlow::OTHER_REMOTE:
      return "remote";
    case kdFlow::OTHER_ERROR:
      return "error";
    default:
      return "unknown";
  }
}
