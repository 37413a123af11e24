// Any bytes as a captured frame of one link-type family. The first byte picks the link type
// within the family (KORVIA_FUZZ_LINK_TYPES, ascending); the rest is the frame. Decoding must
// read nothing past the captured bytes, whatever the headers claim.
#include <cstdint>
#include <cstring>
#include <memory>

#include "kd_packet_decoder.h"

namespace {
constexpr int kLinkTypes[] = {KORVIA_FUZZ_LINK_TYPES};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int link_type = kLinkTypes[data[0] % (sizeof(kLinkTypes) / sizeof(kLinkTypes[0]))];
  // A copy of exactly the frame's size, so that the sanitizer sees any read past it.
  size_t length = size - 1;
  std::unique_ptr<uint8_t[]> frame(new uint8_t[length == 0 ? 1 : length]);
  if (length != 0) memcpy(frame.get(), data + 1, length);
  kdDecodedPacket packet;
  uint32_t caplen = static_cast<uint32_t>(length);
  kdDecodePacket(link_type, frame.get(), caplen, caplen, packet);
  kdDecodePacket(link_type, frame.get(), caplen, caplen + 1000, packet);
  return 0;
}
