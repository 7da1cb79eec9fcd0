// unicode/classes.h: Character-class predicates and case data from the generated UCD tables.
#pragma once

#include <cstddef>
#include <string_view>

namespace quorvane::unicode {

namespace detail {
/// Table lookup behind is_alnum(); any char32_t.
bool is_alnum_table(char32_t cp) noexcept;
}  // namespace detail

/// True if `cp` is Alphabetic or has General_Category Nd, Nl or No.
/// Takes any char32_t; values above U+10FFFF are not alphanumeric. ASCII is answered inline
/// without a table lookup (tokenisers call this once per character).
inline bool is_alnum(char32_t cp) noexcept {
  if (cp < 0x80) return (cp | 0x20) - U'a' < 26 || cp - U'0' < 10;
  return detail::is_alnum_table(cp);
}

/// True unless `cp` has General_Category Cc, Cf, Cs, Co, Cn (unassigned), Zl, Zp or Zs; U+0020
/// SPACE is the one printable separator. Values above U+10FFFF are not printable.
bool is_printable(char32_t cp) noexcept;

/// True if `cp` has the derived property Cased (Lowercase, Uppercase or Lt).
bool is_cased(char32_t cp) noexcept;

/// True if `cp` has the derived property Case_Ignorable (e.g. apostrophe, period, combining
/// marks); such characters are skipped when deciding whether a capital sigma ends a word.
bool is_case_ignorable(char32_t cp) noexcept;

/// Version of the Unicode Character Database the tables were generated from, e.g. "15.0.0".
/// The view refers to a static NUL-terminated string, so data() may be passed on as a C string.
std::string_view ucd_version() noexcept;

namespace detail {

/// Longest full lower-case mapping of a single code point, in code points.
inline constexpr std::size_t kMaxLowerLength = 3;

/// Most bytes write_lower_utf8() writes for one code point.
inline constexpr std::size_t kMaxLowerBytes = 4 * kMaxLowerLength;

/// Writes the UTF-8 form of the full lower-case mapping of `cp` at `dst` (1 to kMaxLowerBytes
/// bytes) and returns the end of what it wrote. No context: U+03A3 gives U+03C3, the Final_Sigma
/// rule is the caller's job. Unmapped code points, and values above U+10FFFF, are written
/// unchanged. Precondition: room for kMaxLowerBytes bytes at `dst`.
/// Internal to the unicode unit: use append_lower() for text.
char* write_lower_utf8(char32_t cp, char* dst) noexcept;

}  // namespace detail

}  // namespace quorvane::unicode
