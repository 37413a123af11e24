// Splits a criteria expression into tokens. Positions are 1-based byte offsets into the text;
// the end of the expression is at its length plus one.
#pragma once

#include <cstddef>
#include <string>

struct kdCriteriaToken {
  enum Kind {
    kEnd,
    kWord,
    kString,
    kLParen,
    kRParen,
    kNot,
    kAnd,
    kOr,
    kEq,
    kNe,
    kLt,
    kLe,
    kGt,
    kGe
  };

  Kind kind = kEnd;
  size_t position = 0;
  // A word as written (field names, numbers, addresses, true/false, other_type words); a quoted
  // string with its escapes resolved; an operator's spelling.
  std::string text;

  bool IsComparison() const { return kind >= kEq; }
};

class kdCriteriaLexer {
 public:
  explicit kdCriteriaLexer(const std::string& expression) : text_(expression) {}
  kdCriteriaLexer(const kdCriteriaLexer&) = delete;
  kdCriteriaLexer& operator=(const kdCriteriaLexer&) = delete;

  // The next token, without consuming it. Raises kdException on a character that starts no token.
  const kdCriteriaToken& Peek();
  kdCriteriaToken Next();

 private:
  void Scan();
  void ScanString();

  const std::string& text_;
  size_t offset_ = 0;
  bool peeked_ = false;
  kdCriteriaToken token_;
};

// How a token is shown in messages: 'abc', "abc", end of expression (long texts are shortened).
std::string kdDescribeToken(const kdCriteriaToken& token);

// Raises kdException "criteria: position <position>: <message>".
[[noreturn]] void kdCriteriaError(size_t position, const std::string& message);
