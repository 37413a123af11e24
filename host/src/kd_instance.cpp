#include "korviad/kd_instance.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>

#include <atomic>

#include "korviad/kd_exception.h"

namespace {

std::atomic<kdInstance*> current_instance{nullptr};

bool SystemLinkAddress(uint32_t index, kdAddr& addr) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) continue;
    const sockaddr_ll* sll = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
    if (static_cast<uint32_t>(sll->sll_ifindex) != index) continue;
    addr.Set(entry->ifa_addr, sizeof(sockaddr_ll));
    found = true;
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

kdAddrLookup::kdAddrLookup() = default;
kdAddrLookup::~kdAddrLookup() = default;

bool kdAddrLookup::LookupLinkAddress(uint32_t index, kdAddr& addr) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = table_.find(index);
    if (it != table_.end()) {
      addr = it->second;
      return true;
    }
  }
  return SystemLinkAddress(index, addr);
}

void kdAddrLookup::SetLinkAddress(uint32_t index, const kdAddr& addr) {
  std::lock_guard<std::mutex> guard(lock_);
  table_[index] = addr;
}

void kdAddrLookup::RemoveLinkAddress(uint32_t index) {
  std::lock_guard<std::mutex> guard(lock_);
  table_.erase(index);
}

kdInstance::kdInstance() {
  kdInstance* expected = nullptr;
  if (!current_instance.compare_exchange_strong(expected, this))
    throw kdException("%s: instance already exists", __PRETTY_FUNCTION__);
}

kdInstance::~kdInstance() {
  kdInstance* expected = this;
  current_instance.compare_exchange_strong(expected, nullptr);
}

kdInstance& kdInstance::GetInstance() {
  kdInstance* instance = current_instance.load();
  if (instance == nullptr) throw kdException("%s: instance not found", __PRETTY_FUNCTION__);
  return *instance;
}
