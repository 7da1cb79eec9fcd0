// unicode/lower.h: Unicode default full lower-casing of UTF-8 text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvane::unicode {

/// Appends the default full lower-case form of `text` to `out` (same result as Python's
/// str.lower() for the tables' UCD version).
/// Each character becomes its full lower-case mapping, which may be several code points (U+0130
/// becomes "i\u0307"); U+03A3 becomes final U+03C2 or U+03C3 by the Final_Sigma context of the
/// surrounding text. No language tailoring or normalisation. Lengths are in bytes and may change.
/// Precondition: `text` is well-formed UTF-8 and does not overlap `out`'s buffer. Malformed input
/// gives unspecified output but no out-of-bounds access. Typical use: out.clear(), then append.
void append_lower(std::string_view text, std::string& out);

/// A range of characters, counted in code points from the start of a text.
struct CodePointSpan {
  std::size_t start = 0;
  std::size_t end = 0;
};

/// The characters of `text` whose lower-case forms hold bytes [begin, end) of its
/// lower-case form (append_lower): `start` is the index of the character holding byte
/// `begin`, `end` one past the index of the one holding byte `end - 1`. Indexes count
/// code points, as Python's str does (malformed UTF-8: the steps append_lower decodes).
/// Precondition: begin < end; an `end` past the lower-case form is taken as its end.
CodePointSpan lowered_span(std::string_view text, std::size_t begin, std::size_t end);

}  // namespace quorvane::unicode
