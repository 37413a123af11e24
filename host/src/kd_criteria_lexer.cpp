#include "kd_criteria_lexer.h"

#include <cstdio>

#include "korviad/kd_exception.h"

namespace {

// Longest piece of a word or string quoted in a message.
constexpr size_t kShownLength = 40;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Words cover field names and every unquoted value: numbers, IPv4/IPv6 addresses and prefixes,
// MAC addresses ("-" separators included), true/false and other_type words.
bool IsWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == ':' || c == '/' || c == '-';
}

std::string Shorten(const std::string& text) {
  if (text.size() <= kShownLength) return text;
  return text.substr(0, kShownLength) + "...";
}

}  // namespace

void kdCriteriaError(size_t position, const std::string& message) {
  throw kdException("criteria: position %zu: %s", position, message.c_str());
}

std::string kdDescribeToken(const kdCriteriaToken& token) {
  switch (token.kind) {
    case kdCriteriaToken::kEnd:
      return "end of expression";
    case kdCriteriaToken::kString:
      return "\"" + Shorten(token.text) + "\"";
    default:
      return "'" + Shorten(token.text) + "'";
  }
}

const kdCriteriaToken& kdCriteriaLexer::Peek() {
  if (!peeked_) {
    Scan();
    peeked_ = true;
  }
  return token_;
}

kdCriteriaToken kdCriteriaLexer::Next() {
  Peek();
  peeked_ = false;
  return std::move(token_);
}

void kdCriteriaLexer::Scan() {
  while (offset_ < text_.size() && IsSpace(text_[offset_])) ++offset_;
  token_ = kdCriteriaToken();
  token_.position = offset_ + 1;
  if (offset_ >= text_.size()) return;

  char c = text_[offset_];
  char next = offset_ + 1 < text_.size() ? text_[offset_ + 1] : '\0';
  auto take = [this](kdCriteriaToken::Kind kind, size_t length) {
    token_.kind = kind;
    token_.text = text_.substr(offset_, length);
    offset_ += length;
  };
  switch (c) {
    case '(':
      return take(kdCriteriaToken::kLParen, 1);
    case ')':
      return take(kdCriteriaToken::kRParen, 1);
    case '!':
      return next == '=' ? take(kdCriteriaToken::kNe, 2) : take(kdCriteriaToken::kNot, 1);
    case '<':
      return next == '=' ? take(kdCriteriaToken::kLe, 2) : take(kdCriteriaToken::kLt, 1);
    case '>':
      return next == '=' ? take(kdCriteriaToken::kGe, 2) : take(kdCriteriaToken::kGt, 1);
    case '=':
      if (next == '=') return take(kdCriteriaToken::kEq, 2);
      kdCriteriaError(token_.position, "unexpected '='; compare with '=='");
    case '&':
      if (next == '&') return take(kdCriteriaToken::kAnd, 2);
      kdCriteriaError(token_.position, "unexpected '&'; combine with '&&'");
    case '|':
      if (next == '|') return take(kdCriteriaToken::kOr, 2);
      kdCriteriaError(token_.position, "unexpected '|'; combine with '||'");
    case '\'':
    case '"':
      return ScanString();
    default:
      break;
  }
  if (IsWordChar(c)) {
    size_t end = offset_;
    while (end < text_.size() && IsWordChar(text_[end])) ++end;
    return take(kdCriteriaToken::kWord, end - offset_);
  }
  char shown[32];
  unsigned char byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte < 0x7f) {
    snprintf(shown, sizeof(shown), "'%c'", c);
  } else {
    snprintf(shown, sizeof(shown), "byte 0x%02x", byte);
  }
  kdCriteriaError(token_.position, std::string("unexpected character ") + shown);
}

void kdCriteriaLexer::ScanString() {
  const char quote = text_[offset_];
  token_.kind = kdCriteriaToken::kString;
  size_t i = offset_ + 1;
  while (i < text_.size() && text_[i] != quote) {
    // A backslash takes the next character as it is: \' \" \\ and any other.
    if (text_[i] == '\\') {
      if (++i >= text_.size()) break;
    }
    token_.text += text_[i++];
  }
  if (i >= text_.size()) kdCriteriaError(token_.position, "unterminated string");
  offset_ = i + 1;
}
