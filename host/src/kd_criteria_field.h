// The flow fields that criteria can test: each name, its value type and how to read it from a
// flow. Readers return references into the flow (or constants), so tests never allocate.
#pragma once

#include <cstdint>
#include <string>

class kdAddr;
class kdFlow;

enum class kdCriteriaType { kNumber, kText, kIpAddress, kMacAddress, kBoolean, kTags, kOtherType };

struct kdCriteriaField {
  const char* name;
  kdCriteriaType type;
  uint64_t max;  // largest value of a number field
  // Exactly the reader of the field's type is set.
  uint64_t (*number)(const kdFlow&);
  const std::string& (*text)(const kdFlow&);
  const kdAddr& (*address)(const kdFlow&);
  bool (*boolean)(const kdFlow&);
};

// The field called name, or null.
const kdCriteriaField* kdFindCriteriaField(const std::string& name);

// How a type is named in messages, with its article: "a number", "an IP address", ...
const char* kdCriteriaTypeName(kdCriteriaType type);

// The other_type code of a word of the peer-kind table, or -1.
int kdOtherTypeCode(const std::string& word);
// The words, for messages: "unknown, unsupported, ...".
const char* kdOtherTypeWords();
