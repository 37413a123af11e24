// How a record reads a flow: which endpoint is local, who opened it, its application label and
// the word for the kind of its other side.
#pragma once

#include <cstdint>
#include <string>

#include "korviad/kd_flow.h"
#include "kpp_address.h"

// One endpoint of a flow, as a record sees it.
struct kppEndpoint {
  const kdAddr* mac;
  const kdAddr* ip;
  uint64_t bytes;
  uint32_t packets;
};

struct kppSides {
  kppEndpoint local;
  kppEndpoint other;
};

// Endpoint A is local when local_is_a, else endpoint B.
kppSides kppSelectSides(const kdFlow& flow, bool local_is_a);

// The side rule of the per-peer types: A is local only when endpoint_map is 1; every other value,
// 0 included, makes B local.
inline kppSides kppPeerSides(const kdFlow& flow) {
  return kppSelectSides(flow, flow.endpoint_map == 1);
}

// Whether the local endpoint opened the flow: with origin 2 exactly when endpoint_map is 2, with
// any other origin exactly when endpoint_map is 1.
bool kppLocalOrigin(const kdFlow& flow);

// Appends a number as decimal text.
void kppAppendDecimal(std::string& text, uint64_t value);

// Appends "<detected_application>.<detected_application_name>", the name defaulting to
// "korvia.unclassified".
void kppAppendApplicationLabel(std::string& text, const kdFlow& flow);
std::string kppApplicationLabel(const kdFlow& flow);

// The word for a flow's other_type code ("unknown" for 0 and any code above 6).
const char* kppOtherTypeWord(uint8_t code);
