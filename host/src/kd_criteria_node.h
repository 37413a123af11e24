// The compiled form of a criteria expression: an immutable tree of tests over one flow.
// Evaluating reads the flow only (no allocation, no lock, no parsing), so one tree may be
// evaluated from many threads at once while the host holds its flow-map bucket locks.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class kdFlow;
struct kdCriteriaField;

class kdCriteriaNode {
 public:
  kdCriteriaNode() = default;
  kdCriteriaNode(const kdCriteriaNode&) = delete;
  kdCriteriaNode& operator=(const kdCriteriaNode&) = delete;
  virtual ~kdCriteriaNode();
  virtual bool Evaluate(const kdFlow& flow) const = 0;
};

using kdCriteriaNodePtr = std::unique_ptr<const kdCriteriaNode>;

enum class kdCriteriaOp { kEq, kNe, kLt, kLe, kGt, kGe };

// An IPv4 or IPv6 network: the address bytes (network order) with every bit past length cleared.
// A plain address is the network of its full length (32 or 128).
struct kdCriteriaPrefix {
  sa_family_t family = AF_UNSPEC;
  uint8_t bytes[16] = {};
  unsigned length = 0;
};

// Logic. All and Any stop at the first term that decides.
kdCriteriaNodePtr kdCriteriaAll(std::vector<kdCriteriaNodePtr> terms);
kdCriteriaNodePtr kdCriteriaAny(std::vector<kdCriteriaNodePtr> terms);
kdCriteriaNodePtr kdCriteriaNot(kdCriteriaNodePtr term);
kdCriteriaNodePtr kdCriteriaConstant(bool value);

// Field tests; field must be of the matching type and outlive the node (fields are static).
kdCriteriaNodePtr kdCriteriaNumberTest(const kdCriteriaField& field, kdCriteriaOp op,
                                       uint64_t value);
kdCriteriaNodePtr kdCriteriaTextTest(const kdCriteriaField& field, bool equal, std::string value);
// An address of another family, or an unset one, is never within the prefix.
kdCriteriaNodePtr kdCriteriaPrefixTest(const kdCriteriaField& field, bool within,
                                       const kdCriteriaPrefix& prefix);
// An address that is not an Ethernet link-layer address never equals the MAC.
kdCriteriaNodePtr kdCriteriaMacTest(const kdCriteriaField& field, bool equal, const uint8_t mac[6]);
kdCriteriaNodePtr kdCriteriaBooleanTest(const kdCriteriaField& field, bool expected);
kdCriteriaNodePtr kdCriteriaTagTest(bool present, std::string tag);
// Codes above the last word count as "unknown" (0).
kdCriteriaNodePtr kdCriteriaOtherTypeTest(bool equal, uint8_t code);
