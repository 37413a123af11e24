// Payload bytes as the dispatch flags ask for them: DF_FORMAT_MSGPACK (0x04) gives MessagePack,
// any other format (DF_FORMAT_JSON 0x01, DF_FORMAT_OBJECT 0x02, none) JSON text; DF_COMPRESS_GZ
// (0x20) compresses the result into the gzip format.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

namespace kdreplay {

struct EncodedPayload {
  std::string bytes;
  std::string extension;  // ".json" or ".msgpack", then ".gz" when compressed
};

// Appends value's compact JSON text to out, invalid UTF-8 replaced, as dump(-1) would make it but
// without a text of its own: a large payload is held as text once.
void AppendJsonText(std::string& out, const nlohmann::json& value);
// The same text written to out through a small buffer of its own. Errors are left in the
// stream's error flag.
void WriteJsonText(FILE* out, const nlohmann::json& value);

// The size of AppendJsonText's text of value, without making it.
uint64_t JsonTextSize(const nlohmann::json& value);

// Throws std::runtime_error when compression fails.
EncodedPayload EncodePayload(const nlohmann::json& payload, uint32_t flags);

// data in the gzip format. Throws std::runtime_error when zlib fails.
std::string GzipCompress(const std::string& data);

}  // namespace kdreplay
