#include "kd_criteria_node.h"

#include <linux/if_packet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstring>

#include "kd_criteria_field.h"
#include "korviad/kd_flow.h"

kdCriteriaNode::~kdCriteriaNode() = default;

namespace {

class All : public kdCriteriaNode {
 public:
  explicit All(std::vector<kdCriteriaNodePtr> terms) : terms_(std::move(terms)) {}
  bool Evaluate(const kdFlow& flow) const override {
    for (const auto& term : terms_) {
      if (!term->Evaluate(flow)) return false;
    }
    return true;
  }

 private:
  std::vector<kdCriteriaNodePtr> terms_;
};

class Any : public kdCriteriaNode {
 public:
  explicit Any(std::vector<kdCriteriaNodePtr> terms) : terms_(std::move(terms)) {}
  bool Evaluate(const kdFlow& flow) const override {
    for (const auto& term : terms_) {
      if (term->Evaluate(flow)) return true;
    }
    return false;
  }

 private:
  std::vector<kdCriteriaNodePtr> terms_;
};

class Not : public kdCriteriaNode {
 public:
  explicit Not(kdCriteriaNodePtr term) : term_(std::move(term)) {}
  bool Evaluate(const kdFlow& flow) const override { return !term_->Evaluate(flow); }

 private:
  kdCriteriaNodePtr term_;
};

class Constant : public kdCriteriaNode {
 public:
  explicit Constant(bool value) : value_(value) {}
  bool Evaluate(const kdFlow&) const override { return value_; }

 private:
  bool value_;
};

class NumberTest : public kdCriteriaNode {
 public:
  NumberTest(const kdCriteriaField& field, kdCriteriaOp op, uint64_t value)
      : read_(field.number), op_(op), value_(value) {}
  bool Evaluate(const kdFlow& flow) const override {
    uint64_t actual = read_(flow);
    switch (op_) {
      case kdCriteriaOp::kEq:
        return actual == value_;
      case kdCriteriaOp::kNe:
        return actual != value_;
      case kdCriteriaOp::kLt:
        return actual < value_;
      case kdCriteriaOp::kLe:
        return actual <= value_;
      case kdCriteriaOp::kGt:
        return actual > value_;
      case kdCriteriaOp::kGe:
        return actual >= value_;
    }
    return false;
  }

 private:
  uint64_t (*read_)(const kdFlow&);
  kdCriteriaOp op_;
  uint64_t value_;
};

class TextTest : public kdCriteriaNode {
 public:
  TextTest(const kdCriteriaField& field, bool equal, std::string value)
      : read_(field.text), equal_(equal), value_(std::move(value)) {}
  bool Evaluate(const kdFlow& flow) const override { return (read_(flow) == value_) == equal_; }

 private:
  const std::string& (*read_)(const kdFlow&);
  bool equal_;
  std::string value_;
};

// The raw address bytes of an IP address, or null for any other family.
const uint8_t* IpBytes(const sockaddr_storage& ss) {
  const uint8_t* base = reinterpret_cast<const uint8_t*>(&ss);
  if (ss.ss_family == AF_INET) return base + offsetof(sockaddr_in, sin_addr);
  if (ss.ss_family == AF_INET6) return base + offsetof(sockaddr_in6, sin6_addr);
  return nullptr;
}

class PrefixTest : public kdCriteriaNode {
 public:
  PrefixTest(const kdCriteriaField& field, bool within, const kdCriteriaPrefix& prefix)
      : read_(field.address), within_(within), prefix_(prefix) {}
  bool Evaluate(const kdFlow& flow) const override { return Within(read_(flow)) == within_; }

 private:
  bool Within(const kdAddr& addr) const {
    const sockaddr_storage& ss = addr.GetSockAddr();
    if (ss.ss_family != prefix_.family) return false;
    const uint8_t* bytes = IpBytes(ss);
    if (bytes == nullptr) return false;
    unsigned whole = prefix_.length / 8, rest = prefix_.length % 8;
    if (memcmp(bytes, prefix_.bytes, whole) != 0) return false;
    if (rest == 0) return true;
    uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (bytes[whole] & mask) == prefix_.bytes[whole];
  }

  const kdAddr& (*read_)(const kdFlow&);
  bool within_;
  kdCriteriaPrefix prefix_;
};

class MacTest : public kdCriteriaNode {
 public:
  MacTest(const kdCriteriaField& field, bool equal, const uint8_t mac[6])
      : read_(field.address), equal_(equal) {
    memcpy(mac_, mac, sizeof(mac_));
  }
  bool Evaluate(const kdFlow& flow) const override { return Equal(read_(flow)) == equal_; }

 private:
  bool Equal(const kdAddr& addr) const {
    if (!addr.IsEthernet()) return false;
    const uint8_t* base = reinterpret_cast<const uint8_t*>(&addr.GetSockAddr());
    return memcmp(base + offsetof(sockaddr_ll, sll_addr), mac_, sizeof(mac_)) == 0;
  }

  const kdAddr& (*read_)(const kdFlow&);
  bool equal_;
  uint8_t mac_[6];
};

class BooleanTest : public kdCriteriaNode {
 public:
  BooleanTest(const kdCriteriaField& field, bool expected)
      : read_(field.boolean), expected_(expected) {}
  bool Evaluate(const kdFlow& flow) const override { return read_(flow) == expected_; }

 private:
  bool (*read_)(const kdFlow&);
  bool expected_;
};

class TagTest : public kdCriteriaNode {
 public:
  TagTest(bool present, std::string tag) : present_(present), tag_(std::move(tag)) {}
  bool Evaluate(const kdFlow& flow) const override {
    return (flow.tags.find(tag_) != flow.tags.end()) == present_;
  }

 private:
  bool present_;
  std::string tag_;
};

class OtherTypeTest : public kdCriteriaNode {
 public:
  OtherTypeTest(bool equal, uint8_t code) : equal_(equal), code_(code) {}
  bool Evaluate(const kdFlow& flow) const override {
    uint8_t code = flow.other_type;
    if (code > kdFlow::OTHER_ERROR) code = kdFlow::OTHER_UNKNOWN;
    return (code == code_) == equal_;
  }

 private:
  bool equal_;
  uint8_t code_;
};

}  // namespace

kdCriteriaNodePtr kdCriteriaAll(std::vector<kdCriteriaNodePtr> terms) {
  return std::make_unique<All>(std::move(terms));
}
kdCriteriaNodePtr kdCriteriaAny(std::vector<kdCriteriaNodePtr> terms) {
  return std::make_unique<Any>(std::move(terms));
}
kdCriteriaNodePtr kdCriteriaNot(kdCriteriaNodePtr term) {
  return std::make_unique<Not>(std::move(term));
}
kdCriteriaNodePtr kdCriteriaConstant(bool value) {
  return std::make_unique<Constant>(value);
}

kdCriteriaNodePtr kdCriteriaNumberTest(const kdCriteriaField& field, kdCriteriaOp op,
                                       uint64_t value) {
  return std::make_unique<NumberTest>(field, op, value);
}
kdCriteriaNodePtr kdCriteriaTextTest(const kdCriteriaField& field, bool equal, std::string value) {
  return std::make_unique<TextTest>(field, equal, std::move(value));
}
kdCriteriaNodePtr kdCriteriaPrefixTest(const kdCriteriaField& field, bool within,
                                       const kdCriteriaPrefix& prefix) {
  return std::make_unique<PrefixTest>(field, within, prefix);
}
kdCriteriaNodePtr kdCriteriaMacTest(const kdCriteriaField& field, bool equal,
                                    const uint8_t mac[6]) {
  return std::make_unique<MacTest>(field, equal, mac);
}
kdCriteriaNodePtr kdCriteriaBooleanTest(const kdCriteriaField& field, bool expected) {
  return std::make_unique<BooleanTest>(field, expected);
}
kdCriteriaNodePtr kdCriteriaTagTest(bool present, std::string tag) {
  return std::make_unique<TagTest>(present, std::move(tag));
}
kdCriteriaNodePtr kdCriteriaOtherTypeTest(bool equal, uint8_t code) {
  return std::make_unique<OtherTypeTest>(equal, code);
}
