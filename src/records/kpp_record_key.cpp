#include "kpp_record_key.h"

#include "kpp_flow_sides.h"

void kppEndKeyPart(std::string& key, size_t part_start) {
  // Seven bits a byte, the highest group first; every byte after the first has its top bit set,
  // so that read backwards the length ends at the first byte without it.
  size_t length = key.size() - part_start;
  if (length < 0x80) {
    key += static_cast<char>(length);
    return;
  }
  char groups[10];
  size_t count = 0;
  do {
    groups[count++] = static_cast<char>(length & 0x7F);
    length >>= 7;
  } while (length != 0);
  key += groups[count - 1];
  for (size_t i = count - 1; i-- > 0;) key += static_cast<char>(groups[i] | 0x80);
}

size_t kppAppendKeyPart(std::string& key, const kdAddr& addr) {
  const size_t start = key.size();
  kppAppendAddressText(key, addr);
  const size_t size = key.size() - start;
  kppEndKeyPart(key, start);
  return size;
}

size_t kppAppendKeyPart(std::string& key, const kppFlowLabel& label) {
  const size_t start = key.size();
  kppAppendApplicationLabel(key, label.flow);
  const size_t size = key.size() - start;
  kppEndKeyPart(key, start);
  return size;
}

size_t kppAppendKeyNumber(std::string& key, uint64_t value) {
  const size_t start = key.size();
  kppAppendDecimal(key, value);
  const size_t size = key.size() - start;
  kppEndKeyPart(key, start);
  return size;
}
