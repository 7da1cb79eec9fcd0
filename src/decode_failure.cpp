// decode_failure.cpp: the texts of decoding failures, their positions and excerpts.
#include "decode_failure.h"

#include <algorithm>  // std::count, std::min

#include "cat.h"

namespace quorvane {

std::string Path::display(std::string_view root) const {
  std::string out(root);
  for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
    if (step->field.empty()) {
      out += cat("[", std::to_string(step->index), "]");
    } else {
      out += cat("[\"", step->field, "\"]");
    }
  }
  return out;
}

bool DecodeFailure::in_field(std::string_view name) {
  path.prepend_field(name);
  return false;
}

bool DecodeFailure::at_index(std::size_t index) {
  path.prepend_index(index);
  return false;
}

std::string DecodeFailure::message() const {
  using F = DecodeFault;
  switch (kind) {
    case F::kEofList:
      return "EOF while parsing a list";
    case F::kEofObject:
      return "EOF while parsing an object";
    case F::kEofString:
      return "EOF while parsing a string";
    case F::kEofValue:
      return "EOF while parsing a value";
    case F::kExpectedColon:
      return "expected `:`";
    case F::kExpectedCommaOrBracket:
      return "expected `,` or `]`";
    case F::kExpectedCommaOrBrace:
      return "expected `,` or `}`";
    case F::kExpectedIdent:
      return "expected ident";
    case F::kExpectedValue:
      return "expected value";
    case F::kInvalidEscape:
      return "invalid escape";
    case F::kInvalidNumber:
      return "invalid number";
    case F::kNumberOutOfRange:
      return "number out of range";
    case F::kControlCharacter:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case F::kKeyMustBeString:
      return "key must be a string";
    case F::kLoneLeadingSurrogate:
      return "lone leading surrogate in hex escape";
    case F::kTrailingComma:
      return "trailing comma";
    case F::kTrailingCharacters:
      return "trailing characters";
    case F::kUnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case F::kRecursionLimit:
      return "recursion limit exceeded";

    case F::kMissingField:
      return cat("missing field `", subject, "`");
    case F::kDuplicateField:
      return cat("duplicate field `", subject, "`");
    case F::kUnknownVariant:
      return cat("unknown variant `", subject, "`, expected ", expected);
    case F::kInvalidLength:
      return cat("invalid length ", subject, ", expected ", expected);
    case F::kInvalidType:
      return cat("invalid type: ", subject, ", expected ", expected);
    case F::kInvalidValue:
      return cat("invalid value: ", subject, ", expected ", expected);
    case F::kBadText:
      return subject;

    case F::kNotConvertible:
      return cat("unexpected type: '", subject, "' object cannot be converted to '", expected, "'");
    case F::kKeyNotText:
      return "dict keys must have type str";
    case F::kEnumDictSize:
      return "expected tagged enum dict to have exactly 1 key";
    case F::kEnumNotStrOrDict:
      return "expected either a str or dict for enum";
    case F::kU32OutOfRange:
      return "OverflowError: out of range integral type conversion attempted";
    case F::kInterpreter:
      return subject;

    // A float or a large int where the object form wants an unsigned integer: what
    // __index__ and the conversion to a C long raise there.
    case F::kNotAnInteger:
      return "TypeError: 'float' object cannot be interpreted as an integer";
    case F::kIntTooLarge:
      return "OverflowError: Python int too large to convert to C long";
  }
  return "unknown failure";
}

namespace {

// The start of the line holding byte `offset`, and that line's number from 1.
std::pair<std::size_t, std::size_t> line_of(std::string_view text, std::size_t offset) {
  std::string_view before = text.substr(0, offset);
  std::size_t start = before.rfind('\n');
  start = start == std::string_view::npos ? 0 : start + 1;
  auto line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.begin() + start, '\n'));
  return {start, line};
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string DecodeFailure::display(std::string_view text) const {
  auto [start, line] = line_of(text, offset);
  return cat(message(), " at line ", std::to_string(line), " column ",
             std::to_string(offset - start));
}

std::string DecodeFailure::excerpt(std::string_view text) const {
  // Characters shown either side of the failing byte.
  constexpr std::size_t kBefore = 40;
  constexpr std::size_t kAfter = 30;
  std::size_t at = std::min(offset, text.size());
  std::size_t start = line_of(text, at).first;
  std::size_t end = text.find('\n', at);
  if (end == std::string_view::npos) end = text.size();
  // Column C names byte C of its line, counted from 1; a failure at the start of a line
  // (column 0: the text ended there) is shown under the first character.
  std::size_t failing = at > start ? at - 1 : start;

  // Walk back and forward by characters, not bytes, so no character is cut.
  std::size_t from = failing;
  for (std::size_t n = 0; from > start && n < kBefore; ++n) {
    do --from;
    while (from > start && is_continuation(text[from]));
  }
  std::size_t to = failing;
  for (std::size_t n = 0; to < end && n <= kAfter; ++n) {
    do ++to;
    while (to < end && is_continuation(text[to]));
  }

  std::string shown = from > start ? "..." : "";
  std::size_t caret = shown.size();
  for (std::size_t i = from; i < to; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (is_continuation(text[i])) {
      shown += static_cast<char>(c);
      continue;
    }
    if (i < failing) ++caret;
    // Tabs and other control bytes would move the caret off its column.
    shown += c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c);
  }
  if (to < end) shown += "...";
  return cat("    ", shown, "\n    ", std::string(caret, ' '), "^");
}

}  // namespace quorvane
