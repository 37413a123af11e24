#include "replay_payload_encoding.h"

#include <zlib.h>

#include <limits>
#include <memory>
#include <stdexcept>

#include "korviad/kd_plugin.h"

namespace kdreplay {

using nlohmann::json;

namespace {

// Takes the serialiser's text in pieces of up to 64 KiB to a stdio stream.
class StreamOutput : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  static constexpr size_t kPiece = 64 * 1024;

  explicit StreamOutput(FILE* out) : out_(out) { piece_.reserve(kPiece); }

  void write_character(char c) override {
    piece_ += c;
    if (piece_.size() >= kPiece) Flush();
  }
  void write_characters(const char* s, std::size_t length) override {
    piece_.append(s, length);
    if (piece_.size() >= kPiece) Flush();
  }
  void Flush() {
    fwrite(piece_.data(), 1, piece_.size(), out_);
    piece_.clear();
  }

 private:
  FILE* out_;
  std::string piece_;
};

// Counts the serialiser's text and keeps none of it.
class CountingOutput : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  void write_character(char) override { ++size_; }
  void write_characters(const char*, std::size_t length) override { size_ += length; }
  uint64_t size() const { return size_; }

 private:
  uint64_t size_ = 0;
};

}  // namespace

std::string GzipCompress(const std::string& data) {
  if (data.size() > std::numeric_limits<uInt>::max())
    throw std::runtime_error("gzip: payload too large");
  z_stream stream{};
  // Window bits 15 + 16 select the gzip wrapper rather than the zlib one.
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK)
    throw std::runtime_error("gzip: deflateInit2 failed");
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  // zlib's interface is not const-correct; it does not write to the input.
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&stream, Z_FINISH);
  size_t written = out.size() - stream.avail_out;
  deflateEnd(&stream);
  if (rc != Z_STREAM_END) throw std::runtime_error("gzip: deflate failed");
  out.resize(written);
  return out;
}

void AppendJsonText(std::string& out, const json& value) {
  // What json::dump does, writing to out instead of a string of its own.
  nlohmann::detail::serializer<json> serializer(
      nlohmann::detail::output_adapter<char, std::string>(out), ' ',
      json::error_handler_t::replace);
  serializer.dump(value, false, false, 0);
}

uint64_t JsonTextSize(const json& value) {
  auto output = std::make_shared<CountingOutput>();
  nlohmann::detail::serializer<json> serializer(output, ' ', json::error_handler_t::replace);
  serializer.dump(value, false, false, 0);
  return output->size();
}

void WriteJsonText(FILE* out, const json& value) {
  auto output = std::make_shared<StreamOutput>(out);
  nlohmann::detail::serializer<json> serializer(output, ' ', json::error_handler_t::replace);
  serializer.dump(value, false, false, 0);
  output->Flush();
}

EncodedPayload EncodePayload(const json& payload, uint32_t flags) {
  EncodedPayload encoded;
  if ((flags & kdPlugin::DF_FORMAT_MSGPACK) != 0) {
    std::vector<uint8_t> bytes = json::to_msgpack(payload);
    encoded.bytes.assign(bytes.begin(), bytes.end());
    encoded.extension = ".msgpack";
  } else {
    AppendJsonText(encoded.bytes, payload);
    encoded.bytes += '\n';
    encoded.extension = ".json";
  }
  if ((flags & kdPlugin::DF_COMPRESS_GZ) != 0) {
    encoded.bytes = GzipCompress(encoded.bytes);
    encoded.extension += ".gz";
  }
  return encoded;
}

}  // namespace kdreplay
