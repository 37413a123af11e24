#include "korviad/kd_digest.h"

#include <xxhash.h>

#include <cstdio>

void kd_xxh64_to_string(uint64_t value, std::string& text) {
  char buffer[17];
  snprintf(buffer, sizeof(buffer), "%016llx", static_cast<unsigned long long>(value));
  text.assign(buffer, 16);
}

uint64_t kd_xxh64(const void* data, size_t length, uint64_t seed) {
  return XXH64(data, length, seed);
}
