// A template or options template of NetFlow v9 or IPFIX, as read from its template record.
#pragma once

#include <cstdint>
#include <vector>

#include "kd_wire.h"

struct kdTemplateField {
  uint16_t id = 0;          // information element, without the enterprise bit
  uint16_t length = 0;      // kd_ie::kVariableLength for variable-length fields (IPFIX)
  uint32_t enterprise = 0;  // 0 for IANA elements
};

struct kdFlowTemplate {
  uint16_t id = 0;
  bool options = false;
  uint16_t scope_count = 0;  // options templates: the first scope_count fields are the scope
  std::vector<kdTemplateField> fields;
  uint32_t min_record_length = 0;  // the fixed fields plus one byte per variable-length field
};

// Which wire form a template record takes.
enum class kdTemplateDialect { kNetflow9, kIpfix };

enum class kdTemplateParse {
  kOk,
  kWithdrawal,  // an IPFIX template record with no fields: withdraws its ID
  kBad,         // absurd: too many fields, a zero-length record, a bad scope count
  kTruncated,   // the record runs past its set
};

// Reads one template record (options when `options`) from r, which must stand at its start.
// max_fields bounds the field count; a record over it is kBad and r is not usable after it.
kdTemplateParse kdReadTemplate(kdWireReader& r, kdTemplateDialect dialect, bool options,
                               size_t max_fields, kdFlowTemplate& out);

// Gives each field's value of one data record in r (which must stand at its start) to
// visit(field, data, length). False when the record runs past r's end.
template <typename Visit>
bool kdVisitRecord(kdWireReader& r, const kdFlowTemplate& t, Visit&& visit) {
  for (const kdTemplateField& f : t.fields) {
    size_t length = f.length;
    if (length == 0xFFFF) {  // RFC 7011 7: one length byte, or 255 and two more
      length = r.U8();
      if (length == 255) length = r.U16();
    }
    const uint8_t* value = r.Bytes(length);
    if (!r.ok()) return false;
    visit(f, value, length);
  }
  return true;
}
