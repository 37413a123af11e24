#include "kpp_digest_set.h"

#include <string>

#include "korviad/kd_digest.h"

void kppDigestSet::Insert(uint64_t digest) {
  if (index_) {
    if (index_->insert(digest).second) order_.push_back(digest);
    return;
  }
  for (uint64_t held : order_) {
    if (held == digest) return;
  }
  order_.push_back(digest);
  if (order_.size() > kIndexedFrom)
    index_ = std::make_unique<std::unordered_set<uint64_t>>(order_.begin(), order_.end());
}

nlohmann::json kppDigestSet::ToJson() const {
  std::vector<std::string> texts;
  texts.reserve(order_.size());
  std::string text;
  for (uint64_t digest : order_) {
    kd_xxh64_to_string(digest, text);
    texts.push_back(text);
  }
  return nlohmann::json(texts);
}
