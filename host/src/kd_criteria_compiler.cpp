#include "kd_criteria_compiler.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>

#include <cstring>
#include <utility>

#include "kd_criteria_field.h"
#include "kd_criteria_lexer.h"
#include "korviad/kd_addr.h"

namespace {

using Token = kdCriteriaToken;

bool IsIdentifier(const std::string& word) {
  if (word.empty() || (word[0] >= '0' && word[0] <= '9')) return false;
  for (char c : word) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

enum class NumberParse { kOk, kNotNumber, kTooLarge };

// Decimal, or hexadecimal after "0x".
NumberParse ParseNumber(const std::string& text, uint64_t& value) {
  unsigned base = 10;
  size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  if (start >= text.size()) return NumberParse::kNotNumber;
  value = 0;
  bool overflow = false;
  for (size_t i = start; i < text.size(); ++i) {
    int digit = HexDigit(text[i]);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return NumberParse::kNotNumber;
    if (value > (UINT64_MAX - static_cast<unsigned>(digit)) / base) overflow = true;
    value = value * base + static_cast<unsigned>(digit);
  }
  return overflow ? NumberParse::kTooLarge : NumberParse::kOk;
}

// "a.b.c.d", "a.b.c.d/n", an IPv6 address, or one with "/n". Returns false when the text is no
// address; problem is set when it is one but its prefix length is wrong.
bool ParsePrefix(const std::string& text, kdCriteriaPrefix& prefix, std::string& problem) {
  size_t slash = text.find('/');
  std::string address = text.substr(0, slash);
  unsigned max = 0;
  if (inet_pton(AF_INET, address.c_str(), prefix.bytes) == 1) {
    prefix.family = AF_INET;
    max = 32;
  } else if (inet_pton(AF_INET6, address.c_str(), prefix.bytes) == 1) {
    prefix.family = AF_INET6;
    max = 128;
  } else {
    return false;
  }
  prefix.length = max;
  if (slash != std::string::npos) {
    std::string digits = text.substr(slash + 1);
    uint64_t length = 0;
    bool decimal = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
    if (!decimal || ParseNumber(digits, length) != NumberParse::kOk || length > max) {
      problem = "prefix length '" + digits + "' is out of range for an " +
                (max == 32 ? "IPv4" : "IPv6") + " address (0 to " + std::to_string(max) + ")";
      return true;
    }
    prefix.length = static_cast<unsigned>(length);
  }
  // Host bits are ignored: 10.1.2.3/8 is the network 10.0.0.0/8.
  for (unsigned bit = prefix.length; bit < max; ++bit) {
    prefix.bytes[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
  }
  return true;
}

bool ParseMac(const std::string& text, uint8_t mac[6]) {
  kdAddr addr;
  if (!addr.Parse(text) || !addr.IsEthernet()) return false;
  const uint8_t* base = reinterpret_cast<const uint8_t*>(&addr.GetSockAddr());
  memcpy(mac, base + offsetof(sockaddr_ll, sll_addr), 6);
  return true;
}

kdCriteriaOp OpOf(const Token& token) {
  switch (token.kind) {
    case Token::kNe:
      return kdCriteriaOp::kNe;
    case Token::kLt:
      return kdCriteriaOp::kLt;
    case Token::kLe:
      return kdCriteriaOp::kLe;
    case Token::kGt:
      return kdCriteriaOp::kGt;
    case Token::kGe:
      return kdCriteriaOp::kGe;
    default:
      return kdCriteriaOp::kEq;
  }
}

// What a '!' or a primary yields: a field named alone, waiting for its comparison, or a
// condition.
struct Operand {
  const kdCriteriaField* field = nullptr;
  kdCriteriaNodePtr condition;
};

class Compiler {
 public:
  explicit Compiler(const std::string& expression) : lexer_(expression) {}

  kdCriteriaNodePtr Run() {
    kdCriteriaNodePtr root = ParseOr(0);
    const Token& rest = lexer_.Peek();
    if (rest.kind != Token::kEnd) {
      kdCriteriaError(rest.position,
                      "expected '&&', '||' or end of expression, found " + kdDescribeToken(rest));
    }
    return root;
  }

 private:
  kdCriteriaNodePtr ParseOr(size_t depth) {
    std::vector<kdCriteriaNodePtr> terms;
    terms.push_back(ParseAnd(depth));
    while (lexer_.Peek().kind == Token::kOr) {
      lexer_.Next();
      terms.push_back(ParseAnd(depth));
    }
    return terms.size() == 1 ? std::move(terms[0]) : kdCriteriaAny(std::move(terms));
  }

  kdCriteriaNodePtr ParseAnd(size_t depth) {
    std::vector<kdCriteriaNodePtr> terms;
    terms.push_back(ParseComparison(depth));
    while (lexer_.Peek().kind == Token::kAnd) {
      lexer_.Next();
      terms.push_back(ParseComparison(depth));
    }
    return terms.size() == 1 ? std::move(terms[0]) : kdCriteriaAll(std::move(terms));
  }

  kdCriteriaNodePtr ParseComparison(size_t depth) {
    Operand left = ParseUnary(depth);
    if (lexer_.Peek().IsComparison()) {
      Token op = lexer_.Next();
      Token value = lexer_.Next();
      if (value.kind != Token::kWord && value.kind != Token::kString) {
        std::string message = "expected a value after '" + op.text + "'";
        if (value.kind != Token::kEnd) message += ", found " + kdDescribeToken(value);
        kdCriteriaError(value.position, message);
      }
      if (left.field != nullptr) return CompareField(*left.field, op, value);
      return CompareCondition(std::move(left.condition), op, value);
    }
    if (left.field == nullptr) return std::move(left.condition);
    if (left.field->type == kdCriteriaType::kBoolean)
      return kdCriteriaBooleanTest(*left.field, true);
    const Token& next = lexer_.Peek();
    kdCriteriaError(next.position, std::string("expected a comparison operator after '") +
                                       left.field->name + "', found " + kdDescribeToken(next));
  }

  // '!' binds tighter than a comparison, so it takes a boolean field or a condition only.
  Operand ParseUnary(size_t depth) {
    if (lexer_.Peek().kind != Token::kNot) return ParsePrimary(depth);
    Token bang = lexer_.Next();
    CheckDepth(bang, depth);
    Operand inner = ParseUnary(depth + 1);
    Operand result;
    if (inner.field == nullptr) {
      result.condition = kdCriteriaNot(std::move(inner.condition));
    } else if (inner.field->type == kdCriteriaType::kBoolean) {
      result.condition = kdCriteriaBooleanTest(*inner.field, false);
    } else {
      kdCriteriaError(bang.position, std::string("'!' applies to a condition or a boolean field, "
                                                 "not to '") +
                                         inner.field->name + "', which is " +
                                         kdCriteriaTypeName(inner.field->type) +
                                         " field; write !(" + inner.field->name + " == ...)");
    }
    return result;
  }

  Operand ParsePrimary(size_t depth) {
    Token token = lexer_.Next();
    Operand result;
    if (token.kind == Token::kLParen) {
      CheckDepth(token, depth);
      result.condition = ParseOr(depth + 1);
      const Token& close = lexer_.Peek();
      if (close.kind != Token::kRParen) {
        kdCriteriaError(close.position, "expected '&&', '||' or ')' to close '(' at position " +
                                            std::to_string(token.position) + ", found " +
                                            kdDescribeToken(close));
      }
      lexer_.Next();
      return result;
    }
    if (token.kind == Token::kWord && (token.text == "true" || token.text == "false")) {
      result.condition = kdCriteriaConstant(token.text == "true");
      return result;
    }
    if (token.kind == Token::kWord && IsIdentifier(token.text)) {
      result.field = kdFindCriteriaField(token.text);
      if (result.field == nullptr)
        kdCriteriaError(token.position, "unknown field " + kdDescribeToken(token));
      return result;
    }
    kdCriteriaError(token.position,
                    "expected a field, '(' or '!', found " + kdDescribeToken(token));
  }

  void CheckDepth(const Token& token, size_t depth) {
    if (depth >= kdCriteriaMaxDepth) {
      kdCriteriaError(token.position, "nesting deeper than " + std::to_string(kdCriteriaMaxDepth) +
                                          " levels of '(' and '!'");
    }
  }

  kdCriteriaNodePtr CompareField(const kdCriteriaField& field, const Token& op,
                                 const Token& value) {
    kdCriteriaOp kind = OpOf(op);
    bool equal = kind == kdCriteriaOp::kEq;
    if (field.type != kdCriteriaType::kNumber && kind != kdCriteriaOp::kEq &&
        kind != kdCriteriaOp::kNe) {
      kdCriteriaError(op.position, std::string("'") + field.name + "' is " +
                                       kdCriteriaTypeName(field.type) +
                                       " field: only '==' and '!=' apply");
    }
    bool word = value.kind == Token::kWord;
    auto mismatch = [&](const std::string& expected) {
      kdCriteriaError(value.position, std::string("'") + field.name + "' is " +
                                          kdCriteriaTypeName(field.type) + " field: expected " +
                                          expected + ", found " + kdDescribeToken(value));
    };
    switch (field.type) {
      case kdCriteriaType::kNumber: {
        uint64_t number = 0;
        NumberParse parsed = word ? ParseNumber(value.text, number) : NumberParse::kNotNumber;
        if (parsed == NumberParse::kNotNumber) mismatch("a number");
        if (parsed == NumberParse::kTooLarge || number > field.max) {
          kdCriteriaError(value.position, "number " + kdDescribeToken(value) +
                                              " is out of range for '" + field.name + "' (0 to " +
                                              std::to_string(field.max) + ")");
        }
        return kdCriteriaNumberTest(field, kind, number);
      }
      case kdCriteriaType::kText:
        if (word) mismatch("a quoted string");
        return kdCriteriaTextTest(field, equal, value.text);
      case kdCriteriaType::kTags:
        if (word) mismatch("a quoted tag");
        return kdCriteriaTagTest(equal, value.text);
      case kdCriteriaType::kIpAddress: {
        kdCriteriaPrefix prefix;
        std::string problem;
        if (!ParsePrefix(value.text, prefix, problem))
          mismatch("an IPv4 or IPv6 address or prefix");
        if (!problem.empty()) kdCriteriaError(value.position, problem);
        return kdCriteriaPrefixTest(field, equal, prefix);
      }
      case kdCriteriaType::kMacAddress: {
        uint8_t mac[6];
        if (!ParseMac(value.text, mac)) mismatch("a MAC address such as 00:11:22:33:44:55");
        return kdCriteriaMacTest(field, equal, mac);
      }
      case kdCriteriaType::kBoolean:
        if (!word || (value.text != "true" && value.text != "false")) mismatch("true or false");
        return kdCriteriaBooleanTest(field, (value.text == "true") == equal);
      case kdCriteriaType::kOtherType: {
        int code = kdOtherTypeCode(value.text);
        if (code < 0) mismatch(std::string("one of ") + kdOtherTypeWords());
        return kdCriteriaOtherTypeTest(equal, static_cast<uint8_t>(code));
      }
    }
    kdCriteriaError(value.position, "internal error: field of no known type");
  }

  kdCriteriaNodePtr CompareCondition(kdCriteriaNodePtr condition, const Token& op,
                                     const Token& value) {
    if (op.kind != Token::kEq && op.kind != Token::kNe) {
      kdCriteriaError(op.position, "only '==' and '!=' apply to a condition");
    }
    if (value.kind != Token::kWord || (value.text != "true" && value.text != "false")) {
      kdCriteriaError(value.position,
                      "a condition compares with true or false, found " + kdDescribeToken(value));
    }
    bool keep = (value.text == "true") == (op.kind == Token::kEq);
    return keep ? std::move(condition) : kdCriteriaNot(std::move(condition));
  }

  kdCriteriaLexer lexer_;
};

}  // namespace

kdCriteriaNodePtr kdCompileCriteria(const std::string& expression) {
  return Compiler(expression).Run();
}
