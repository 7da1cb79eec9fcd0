// json/reader.cpp: single-pass JSON tokenizer over UTF-8 bytes, with failure positions.
#include "json/reader.h"

#include <algorithm>  // std::find
#include <cstdint>

#include "cat.h"
#include "json/scan.h"
#include "quote.h"
#include "unicode/utf8.h"

namespace quorvane::json {
namespace {

using Fault = DecodeFault;

constexpr bool is_digit(int c) noexcept { return c >= '0' && c <= '9'; }

// Adding `digit` to `value` x 10 would pass the largest 64-bit value.
constexpr bool overflows_u64(std::uint64_t value, std::uint64_t digit) noexcept {
  constexpr std::uint64_t kMax = UINT64_MAX;
  return value >= kMax / 10 && (value > kMax / 10 || digit > kMax % 10);
}

}  // namespace

Reader::Reader(std::string_view text) noexcept
    : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

int Reader::peek_ws() noexcept {
  while (p_ < end_) {
    char c = *p_;
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
    ++p_;
  }
  return kEnd;
}

// MARK: failures

bool Reader::fail(DecodeFault kind, std::string subject, std::string_view expected) {
  failure_.kind = kind;
  failure_.subject = std::move(subject);
  failure_.expected = expected;
  failure_.offset = offset();
  return false;
}

bool Reader::fail_peek(DecodeFault kind, std::string subject, std::string_view expected) {
  fail(kind, std::move(subject), expected);
  if (p_ < end_) ++failure_.offset;
  return false;
}

bool Reader::fail_in_object(DecodeFault kind, std::string_view field) {
  if (peek_ws() == '}') bump();
  return fail(kind, std::string(field));
}

bool Reader::fail_in_array(std::string subject, std::string_view expected) {
  int c = peek_ws();
  if (c == ']') {
    bump();
  } else if (c == ',') {
    bump();
    peek_ws();
  }
  return fail(Fault::kInvalidLength, std::move(subject), expected);
}

bool Reader::invalid_type(std::string_view expected) {
  std::string found;
  int c = p_ < end_ ? static_cast<unsigned char>(*p_) : kEnd;
  if (c == '-' || is_digit(c)) {
    Number n;
    if (!number(n)) return false;
    if (n.out_of_range) return fail(Fault::kNumberOutOfRange);
    return fail(Fault::kInvalidType, n.describe(), expected);
  }
  switch (c) {
    case 'n':
      bump();
      if (!literal("ull")) return false;
      found = "null";
      break;
    case 't':
      bump();
      if (!literal("rue")) return false;
      found = "boolean `true`";
      break;
    case 'f':
      bump();
      if (!literal("alse")) return false;
      found = "boolean `false`";
      break;
    case '"': {
      std::string_view text;
      if (!string_view(text)) return false;
      found = "string ";
      append_quoted(text, found);
      break;
    }
    case '[':
      return fail_peek(Fault::kInvalidType, "sequence", expected);
    case '{':
      return fail_peek(Fault::kInvalidType, "map", expected);
    default:
      return fail_peek(Fault::kExpectedValue);
  }
  return fail(Fault::kInvalidType, std::move(found), expected);
}

// MARK: containers

bool Reader::open() {
  if (depth_ == kMaxDepth) return fail_peek(Fault::kRecursionLimit);
  ++depth_;
  bump();
  return true;
}

void Reader::close() noexcept {
  --depth_;
  bump();
}

int Reader::next_element(bool& first) {
  int c = peek_ws();
  if (c == ']') return 0;
  if (c == ',' && !first) {
    bump();
    c = peek_ws();
    if (c == ']') return fail_peek(Fault::kTrailingComma), -1;
    if (c == kEnd) return fail_peek(Fault::kEofValue), -1;
    return 1;
  }
  if (c == kEnd) return fail_peek(Fault::kEofList), -1;
  if (!first) return fail_peek(Fault::kExpectedCommaOrBracket), -1;
  first = false;
  return 1;
}

int Reader::next_key(bool& first, std::string_view* key) {
  int c = peek_ws();
  if (c == '}') return 0;
  if (c == ',' && !first) {
    bump();
    c = peek_ws();
  } else if (c == kEnd) {
    return fail_peek(Fault::kEofObject), -1;
  } else if (!first) {
    return fail_peek(Fault::kExpectedCommaOrBrace), -1;
  }
  first = false;
  if (c == '"') {
    if (key != nullptr) return string_view(*key) ? 1 : -1;
    bump();
    return string_body(nullptr) ? 1 : -1;
  }
  if (c == '}') return fail_peek(Fault::kTrailingComma), -1;
  if (c == kEnd) return fail_peek(Fault::kEofValue), -1;
  return fail_peek(Fault::kKeyMustBeString), -1;
}

bool Reader::colon() {
  int c = peek_ws();
  if (c == ':') {
    bump();
    return true;
  }
  if (c == kEnd) return fail_peek(Fault::kEofObject);
  return fail_peek(Fault::kExpectedColon);
}

bool Reader::end_positional() {
  int c = peek_ws();
  if (c == ']') {
    close();
    return true;
  }
  if (c == ',') {
    bump();
    return fail_peek(peek_ws() == ']' ? Fault::kTrailingComma : Fault::kTrailingCharacters);
  }
  if (c == kEnd) return fail_peek(Fault::kEofList);
  return fail_peek(Fault::kTrailingCharacters);
}

// MARK: strings

bool Reader::string(std::string& out) { return string_body(&out); }

bool Reader::string_view(std::string_view& out) {
  bump();  // the opening quote
  const char* start = p_;
  const char* stop = find_string_stop(p_, end_);
  if (stop < end_ && *stop == '"') {
    // No escape: a view of the text itself.
    out = std::string_view(start, static_cast<std::size_t>(stop - start));
    p_ = stop + 1;
    return true;
  }
  scratch_.clear();
  if (!string_body(&scratch_)) return false;
  out = scratch_;
  return true;
}

bool Reader::string_body(std::string* out) {
  for (;;) {
    const char* stop = find_string_stop(p_, end_);
    if (out != nullptr) out->append(p_, static_cast<std::size_t>(stop - p_));
    p_ = stop;
    if (p_ == end_) return fail(Fault::kEofString);
    char c = *p_++;
    if (c == '"') return true;
    if (c != '\\') return fail(Fault::kControlCharacter);
    if (!escape(out)) return false;
  }
}

bool Reader::hex4(unsigned& value) {
  value = 0;
  for (int k = 0; k < 4; ++k) {
    if (p_ == end_) return fail(Fault::kEofString);
    char c = *p_++;
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return fail(Fault::kInvalidEscape);
    }
    value = value * 16 + digit;
  }
  return true;
}

bool Reader::escape(std::string* out) {
  if (p_ == end_) return fail(Fault::kEofString);
  char c = *p_++;
  char plain;
  switch (c) {
    case '"':
      plain = '"';
      break;
    case '\\':
      plain = '\\';
      break;
    case '/':
      plain = '/';
      break;
    case 'b':
      plain = '\b';
      break;
    case 'f':
      plain = '\f';
      break;
    case 'n':
      plain = '\n';
      break;
    case 'r':
      plain = '\r';
      break;
    case 't':
      plain = '\t';
      break;
    case 'u': {
      unsigned unit;
      if (!hex4(unit)) return false;
      // A skipped string is only checked for its syntax; pairing matters only for
      // text that is kept.
      if (out == nullptr) return true;
      char32_t code = unit;
      if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(Fault::kLoneLeadingSurrogate);
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        for (char expected : {'\\', 'u'}) {
          if (p_ == end_) return fail(Fault::kEofString);
          if (*p_++ != expected) return fail(Fault::kUnexpectedEndOfHexEscape);
        }
        unsigned low;
        if (!hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) return fail(Fault::kLoneLeadingSurrogate);
        code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      }
      unicode::append_utf8(code, *out);
      return true;
    }
    default:
      return fail(Fault::kInvalidEscape);
  }
  if (out != nullptr) out->push_back(plain);
  return true;
}

// MARK: numbers

bool Reader::number(Number& out) {
  bool positive = true;
  if (*p_ == '-') {
    bump();
    positive = false;
  }
  if (p_ == end_) return fail(Fault::kEofValue);
  int c = static_cast<unsigned char>(*p_++);
  std::uint64_t significand = 0;
  if (c == '0') {
    if (p_ < end_ && is_digit(*p_)) return fail_peek(Fault::kInvalidNumber);
  } else if (is_digit(c)) {
    significand = static_cast<std::uint64_t>(c - '0');
    while (p_ < end_ && is_digit(*p_)) {
      auto digit = static_cast<std::uint64_t>(*p_ - '0');
      if (overflows_u64(significand, digit)) {
        // Too long for 64 bits: the remaining integer digits only scale the value.
        std::int64_t exponent = 0;
        while (p_ < end_ && is_digit(*p_)) {
          bump();
          ++exponent;
        }
        return number_fraction(positive, significand, exponent, out);
      }
      bump();
      significand = significand * 10 + digit;
    }
  } else {
    return fail(Fault::kInvalidNumber);
  }

  if (p_ < end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) {
    return number_fraction(positive, significand, 0, out);
  }
  if (positive) {
    out.kind = Number::Kind::kUnsigned;
    out.u = significand;
  } else if (significand == 0 || significand > (std::uint64_t{1} << 63)) {
    // "-0" and integers below the signed range are floats.
    out.kind = Number::Kind::kFloat;
    out.f = -static_cast<double>(significand);
  } else {
    out.kind = Number::Kind::kSigned;
    out.i = static_cast<std::int64_t>(0 - significand);
  }
  return true;
}

bool Reader::number_fraction(bool positive, std::uint64_t significand, std::int64_t exponent,
                             Number& out) {
  if (p_ < end_ && *p_ == '.') {
    bump();
    bool any_digit = false;
    bool dropping = false;
    while (p_ < end_ && is_digit(*p_)) {
      auto digit = static_cast<std::uint64_t>(*p_ - '0');
      bump();
      any_digit = true;
      // Digits past 64 bits are dropped; after the point they do not scale the value.
      if (dropping || overflows_u64(significand, digit)) {
        dropping = true;
        continue;
      }
      significand = significand * 10 + digit;
      --exponent;
    }
    if (!any_digit) {
      return fail_peek(p_ < end_ ? Fault::kInvalidNumber : Fault::kEofValue);
    }
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    return number_exponent(positive, significand, exponent, out);
  }
  float_result(positive, significand, exponent, out);
  return true;
}

bool Reader::number_exponent(bool positive, std::uint64_t significand, std::int64_t exponent,
                             Number& out) {
  bump();  // 'e' or 'E'
  bool negative = false;
  if (p_ < end_ && (*p_ == '+' || *p_ == '-')) negative = *p_++ == '-';
  if (p_ == end_) return fail(Fault::kEofValue);
  char c = *p_++;
  if (!is_digit(c)) return fail(Fault::kInvalidNumber);
  // Capped well beyond any exponent that can change the result, so it never overflows.
  constexpr std::int64_t kCap = std::int64_t{1} << 40;
  std::int64_t value = c - '0';
  while (p_ < end_ && is_digit(*p_)) {
    value = std::min(kCap, value * 10 + (*p_ - '0'));
    bump();
  }
  float_result(positive, significand, negative ? exponent - value : exponent + value, out);
  return true;
}

void Reader::float_result(bool positive, std::uint64_t significand, std::int64_t exponent,
                          Number& out) {
  double f = float_from_parts(significand, exponent, out.out_of_range);
  out.kind = Number::Kind::kFloat;
  out.f = positive ? f : -f;
}

// MARK: literals and skipping

bool Reader::literal(std::string_view rest) {
  for (char expected : rest) {
    if (p_ == end_) return fail(Fault::kEofValue);
    if (*p_++ != expected) return fail(Fault::kExpectedIdent);
  }
  return true;
}

bool Reader::skip() {
  int c = peek_ws();
  if (c == '-' || is_digit(c)) {
    Number n;  // a skipped number need not fit a float
    return number(n);
  }
  switch (c) {
    case kEnd:
      return fail_peek(Fault::kEofValue);
    case 'n':
      bump();
      return literal("ull");
    case 't':
      bump();
      return literal("rue");
    case 'f':
      bump();
      return literal("alse");
    case '"':
      bump();
      return string_body(nullptr);
    case '[': {
      if (!open()) return false;
      bool first = true;
      for (;;) {
        int next = next_element(first);
        if (next < 0) return false;
        if (next == 0) break;
        if (!skip()) return false;
      }
      close();
      return true;
    }
    case '{': {
      if (!open()) return false;
      bool first = true;
      for (;;) {
        int next = next_key(first, nullptr);
        if (next < 0) return false;
        if (next == 0) break;
        if (!colon() || !skip()) return false;
      }
      close();
      return true;
    }
    default:
      return fail_peek(Fault::kExpectedValue);
  }
}

}  // namespace quorvane::json
