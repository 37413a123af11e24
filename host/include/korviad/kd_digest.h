// Flow digests: 64-bit xxHash values and their text form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "korviad/kd_export.h"

// Replaces text with the 16 lower-case hex digits of value, zero-padded.
KD_EXPORT void kd_xxh64_to_string(uint64_t value, std::string& text);

// xxHash64 of a byte range.
KD_EXPORT uint64_t kd_xxh64(const void* data, size_t length, uint64_t seed = 0);
