// Small host services: terminal icons and digests.
#include <xxhash.h>

#include <cstdio>

#include "korviad/kd_digest.h"
#include "korviad/kd_term.h"

const char* const kdTerm::Icon::INFO = "[i]";
const char* const kdTerm::Icon::WARN = "[!]";

void kd_xxh64_to_string(uint64_t value, std::string& text) {
  char buffer[17];
  snprintf(buffer, sizeof(buffer), "%016llx", static_cast<unsigned long long>(value));
  text.assign(buffer, 16);
}

uint64_t kd_xxh64(const void* data, size_t length, uint64_t seed) {
  return XXH64(data, length, seed);
}
