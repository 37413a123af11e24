// Which record type the payloads being dispatched hold, as the running plugin says: its status
// member "aggregator", asked for at each dispatch, when the plugin's payload pass is the caller
// and no reload can change the type under it. Readers of payloads take the type from here (or,
// reading files back, from the index the dir sink wrote), never from a payload's members.
#pragma once

#include <cstdint>
#include <functional>

namespace kdreplay {

// The record type of the payload being dispatched; 0 when the plugin does not say.
using RecordTypeSource = std::function<uint32_t()>;

// The file in a dir sink's directory that lists the record type of each payload file written
// there, one JSON line per file: {"file": NAME, "record_type": N}.
constexpr const char* kPayloadIndexName = ".korvia-payloads.jsonl";

}  // namespace kdreplay
