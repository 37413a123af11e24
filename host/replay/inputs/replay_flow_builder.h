// FLOW descriptions of the event script -> host flows.
//
// A FLOW is a JSON object whose members are kdFlow attribute names. Every member is optional:
// absent ones are zero, false or empty, except "dpi_complete" (true) and the interface, which
// defaults to {"name": "eth0", "index": 4294967295}. Numbers must fit the attribute's type.
// Addresses are text ("" leaves one unset); a port needs its address.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "korviad/kd_addr.h"
#include "korviad/kd_flow.h"

namespace kdreplay {

// Throws MemberError naming the offending member (member is the FLOW's own path).
std::shared_ptr<kdFlow> BuildFlow(const nlohmann::json& description, const std::string& member);

// "aa:bb:cc:dd:ee:ff" (or with "-") as an Ethernet address. Throws MemberError.
kdAddr ReadMacAddress(const nlohmann::json& value, const std::string& member);

}  // namespace kdreplay
