// decode_failure.h: every way a request can fail to decode, from JSON text or from
// Python objects, and where in the request it failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

/// Where a value sits in a request: field names and list indices, from the outside in.
/// Steps are added while a failure travels outwards, so a successful read never builds
/// one.
class Path {
 public:
  /// Puts a field in front of the steps so far; `name` must outlive the path (field
  /// names live in the record declarations).
  void prepend_field(std::string_view name) { steps_.push_back(Step{name, 0}); }
  /// Puts a list index in front of the steps so far.
  void prepend_index(std::size_t index) { steps_.push_back(Step{{}, index}); }
  bool empty() const noexcept { return steps_.empty(); }
  /// `root` followed by each step: `request["data"][48213]["narration"]`.
  std::string display(std::string_view root) const;

 private:
  struct Step {
    std::string_view field;  // empty for an index
    std::size_t index;
  };
  std::vector<Step> steps_;  // innermost first
};

/// What went wrong. Syntax faults come from JSON text only; the record-shape faults
/// from every form; then those of Python objects only, and of Arrow columns only.
enum class DecodeFault : std::uint8_t {
  // JSON syntax
  kEofList,
  kEofObject,
  kEofString,
  kEofValue,
  kExpectedColon,
  kExpectedCommaOrBracket,
  kExpectedCommaOrBrace,
  kExpectedIdent,
  kExpectedValue,
  kInvalidEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kControlCharacter,
  kKeyMustBeString,
  kLoneLeadingSurrogate,
  kTrailingComma,
  kTrailingCharacters,
  kUnexpectedEndOfHexEscape,
  kRecursionLimit,
  // record shape, both forms
  kMissingField,    // subject: the field
  kDuplicateField,  // subject: the field
  kUnknownVariant,  // subject: the name found; expected: the names
  kInvalidLength,   // subject: the elements present; expected: the record's shape
  kInvalidType,     // subject: what was found; expected: what was wanted
  kInvalidValue,    // subject: what was found; expected: what was wanted
  kBadText,         // subject: why a text form (a year-month) did not read
  // Python objects
  kNotConvertible,  // subject: the type's name; expected: Mapping, Sequence or PyString
  kKeyNotText,
  kEnumDictSize,
  kEnumNotStrOrDict,
  kU32OutOfRange,
  kInterpreter,  // subject: the interpreter's exception, "Type: text"
  // Arrow columns: the texts the interpreter gives for the same value in the object form
  kNotAnInteger,  // a float with a fraction (or not finite) where an integer is wanted
  kIntTooLarge,   // an integer beyond the signed 64-bit range
};

/// A decoding failure: its kind, the texts its message names, and where it happened.
struct DecodeFailure {
  DecodeFault kind = DecodeFault::kEofValue;
  std::string subject;
  std::string expected;
  /// JSON text only: the bytes taken when the reader stopped.
  std::size_t offset = 0;
  Path path;

  /// While the failure travels outwards: it happened inside this field (a name that
  /// outlives the failure), or at this list index. Both return false, for `return`, and
  /// are kept out of line: they run only on the way out of a failed read.
  [[gnu::cold]] bool in_field(std::string_view name);
  [[gnu::cold]] bool at_index(std::size_t index);

  /// The message the caller sees; the only place these texts are written.
  std::string message() const;
  /// JSON text only: the message followed by " at line L column C".
  std::string display(std::string_view text) const;
  /// JSON text only: the line of `text` around the failure, cut to a readable width,
  /// and a caret under the failing byte, as two lines.
  std::string excerpt(std::string_view text) const;
};

}  // namespace quorvane
