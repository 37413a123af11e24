#include "kpp_address.h"

void kppAppendAddressText(std::string& out, const kdAddr& addr) {
  // MakeString replaces its output: a text per thread keeps its room from one address to the
  // next.
  thread_local std::string text;
  kdAddr::MakeString(addr, text);
  out += text;
}
