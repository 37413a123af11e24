// The running host instance and its services.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "korviad/kd_addr.h"
#include "korviad/kd_export.h"

// Link-layer addresses of interfaces by index.
class KD_EXPORT kdAddrLookup {
 public:
  kdAddrLookup();
  ~kdAddrLookup();

  // The link-layer address of interface index: from the host's table, else from the system's
  // interface list (getifaddrs, AF_PACKET). False when neither knows the index.
  bool LookupLinkAddress(uint32_t index, kdAddr& addr);

  void SetLinkAddress(uint32_t index, const kdAddr& addr);
  void RemoveLinkAddress(uint32_t index);

 private:
  std::mutex lock_;
  std::map<uint32_t, kdAddr> table_;
};

// At most one instance exists at a time; the host creates it before loading plugins.
class KD_EXPORT kdInstance {
 public:
  // Throws kdException when another instance exists.
  kdInstance();
  kdInstance(const kdInstance&) = delete;
  kdInstance& operator=(const kdInstance&) = delete;
  virtual ~kdInstance();

  // Throws kdException "<signature>: instance not found" when there is none.
  static kdInstance& GetInstance();

  kdAddrLookup addr_lookup;
};
