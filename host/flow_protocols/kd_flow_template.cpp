#include "kd_flow_template.h"

#include "kd_ipfix_elements.h"

kdTemplateParse kdReadTemplate(kdWireReader& r, kdTemplateDialect dialect, bool options,
                               size_t max_fields, kdFlowTemplate& out) {
  out = kdFlowTemplate();
  out.options = options;
  out.id = r.U16();
  size_t field_count = 0;
  size_t scope_count = 0;
  if (dialect == kdTemplateDialect::kNetflow9 && options) {
    // RFC 3954 6.1: the scope and option parts are given in bytes, four per field.
    uint16_t scope_bytes = r.U16();
    uint16_t option_bytes = r.U16();
    if (!r.ok()) return kdTemplateParse::kTruncated;
    if (scope_bytes % 4 != 0 || option_bytes % 4 != 0) return kdTemplateParse::kBad;
    scope_count = scope_bytes / 4;
    field_count = scope_count + option_bytes / 4;
  } else {
    field_count = r.U16();
    if (options) scope_count = r.U16();
    if (!r.ok()) return kdTemplateParse::kTruncated;
    if (field_count == 0 && dialect == kdTemplateDialect::kIpfix)
      return kdTemplateParse::kWithdrawal;
  }
  if (out.id < 256 || field_count == 0 || field_count > max_fields || scope_count > field_count ||
      (options && scope_count == 0 && dialect == kdTemplateDialect::kIpfix)) {
    return kdTemplateParse::kBad;
  }
  out.scope_count = static_cast<uint16_t>(scope_count);
  out.fields.reserve(field_count);
  for (size_t i = 0; i < field_count; ++i) {
    kdTemplateField f;
    uint16_t id = r.U16();
    f.length = r.U16();
    if (dialect == kdTemplateDialect::kIpfix && (id & 0x8000) != 0) f.enterprise = r.U32();
    if (!r.ok()) return kdTemplateParse::kTruncated;
    f.id = dialect == kdTemplateDialect::kIpfix ? static_cast<uint16_t>(id & 0x7FFF) : id;
    if (f.length == kd_ie::kVariableLength) {
      if (dialect == kdTemplateDialect::kNetflow9) return kdTemplateParse::kBad;
      out.min_record_length += 1;
    } else {
      out.min_record_length += f.length;
    }
    out.fields.push_back(f);
  }
  // A record of no bytes would repeat forever in its set.
  if (out.min_record_length == 0) return kdTemplateParse::kBad;
  return kdTemplateParse::kOk;
}
