// The information elements the decoders read and the encoders write, by their IANA numbers
// (RFC 7012 and the IANA registry; NetFlow v9 shares the numbers below 128 and most above).
#pragma once

#include <cstdint>

namespace kd_ie {
constexpr uint16_t kOctetDeltaCount = 1;
constexpr uint16_t kPacketDeltaCount = 2;
constexpr uint16_t kProtocolIdentifier = 4;
constexpr uint16_t kTcpControlBits = 6;
constexpr uint16_t kSourceTransportPort = 7;
constexpr uint16_t kSourceIpv4Address = 8;
constexpr uint16_t kIngressInterface = 10;
constexpr uint16_t kDestinationTransportPort = 11;
constexpr uint16_t kDestinationIpv4Address = 12;
constexpr uint16_t kEgressInterface = 14;
constexpr uint16_t kFlowEndSysUpTime = 21;
constexpr uint16_t kFlowStartSysUpTime = 22;
constexpr uint16_t kSourceIpv6Address = 27;
constexpr uint16_t kDestinationIpv6Address = 28;
constexpr uint16_t kSamplingInterval = 34;
constexpr uint16_t kSamplerId = 48;  // v9 FLOW_SAMPLER_ID
constexpr uint16_t kSamplerRandomInterval = 50;
constexpr uint16_t kSourceMacAddress = 56;
constexpr uint16_t kVlanId = 58;
constexpr uint16_t kDestinationMacAddress = 80;
constexpr uint16_t kOctetTotalCount = 85;
constexpr uint16_t kPacketTotalCount = 86;
constexpr uint16_t kFlowEndReason = 136;
constexpr uint16_t kFlowStartSeconds = 150;
constexpr uint16_t kFlowEndSeconds = 151;
constexpr uint16_t kFlowStartMilliseconds = 152;
constexpr uint16_t kFlowEndMilliseconds = 153;
constexpr uint16_t kFlowStartMicroseconds = 154;
constexpr uint16_t kFlowEndMicroseconds = 155;
constexpr uint16_t kFlowStartDeltaMicroseconds = 158;
constexpr uint16_t kFlowEndDeltaMicroseconds = 159;
constexpr uint16_t kSystemInitTimeMilliseconds = 160;
constexpr uint16_t kDot1qVlanId = 243;
constexpr uint16_t kSelectorId = 302;
constexpr uint16_t kSamplingPacketInterval = 305;
constexpr uint16_t kSamplingPacketSpace = 306;

// RFC 5103: the reverse direction's elements carry this enterprise number and the forward
// element's number.
constexpr uint32_t kReversePen = 29305;
// A field length that IPFIX uses for "variable length".
constexpr uint16_t kVariableLength = 65535;
}  // namespace kd_ie
