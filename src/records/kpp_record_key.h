// Sample keys. A key is its parts in a row, each followed by its length, so that a key read from
// its end splits back into exactly the parts it was made of: two keys are equal only when all of
// their parts are, whatever text the parts hold.
//
// Each record type builds its key with one function over its parts, called with the record's
// stored fields (MakeKey) or with the flow's own attributes (the flow pass's way around building
// a record for a flow whose sample exists): a part appends the same text either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "korviad/kd_flow.h"

// Ends the part that began at part_start: appends its length.
void kppEndKeyPart(std::string& key, size_t part_start);

// Each appends one part and returns the size of its text (the length after it not counted).
inline size_t kppAppendKeyPart(std::string& key, std::string_view text) {
  const size_t start = key.size();
  key += text;
  kppEndKeyPart(key, start);
  return text.size();
}
inline size_t kppAppendKeyPart(std::string& key, const std::string& text) {
  return kppAppendKeyPart(key, std::string_view(text));
}
size_t kppAppendKeyPart(std::string& key, const kdAddr& addr);
// A flow's application label, appended without being built first.
struct kppFlowLabel {
  const kdFlow& flow;
};
size_t kppAppendKeyPart(std::string& key, const kppFlowLabel& label);
// A number, as decimal text.
size_t kppAppendKeyNumber(std::string& key, uint64_t value);
