// unicode/utf8.h: Inline UTF-8 helpers: ASCII test, decoding in both directions, encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bytes.h"

namespace quorvane::unicode {

/// Returns true if every byte of `s` is below 0x80 (true for an empty view).
inline bool is_ascii(std::string_view s) noexcept {
  const char* p = s.data();
  const char* const end = p + s.size();
  std::uint64_t seen = 0;
  for (; end - p >= 8; p += 8) seen |= bytes::load64(p);
  for (; p < end; ++p) seen |= static_cast<unsigned char>(*p);
  return (seen & bytes::kHighBits) == 0;
}

/// The offset of the first byte of `s` that does not begin a well-formed UTF-8 sequence
/// (a stray continuation byte, a lead byte whose sequence is cut short, an overlong form, a
/// surrogate or a code point past U+10FFFF), or s.size() when all of `s` is well-formed.
/// `ascii` is set to whether every byte of `s` is below 0x80.
std::size_t first_malformed(std::string_view s, bool& ascii) noexcept;

/// Whether all of `s` is well-formed UTF-8.
inline bool well_formed(std::string_view s) noexcept {
  bool ascii = true;
  return first_malformed(s, ascii) == s.size();
}

/// Decodes the code point starting at `p` and advances `p` past it.
/// Precondition: p < end and [p, end) is well-formed UTF-8 (as produced from a Python str).
/// Malformed input gives an unspecified code point but never reads outside [p, end) and always
/// advances `p` by at least one byte.
inline char32_t decode_utf8(const char*& p, const char* end) noexcept {
  const auto b0 = static_cast<unsigned char>(*p);
  if (b0 < 0x80) {
    ++p;
    return b0;
  }
  // The lead byte gives the length; continuation bits are trusted (well-formed input).
  const std::ptrdiff_t len = b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
  if (b0 < 0xC0 || end - p < len) {
    ++p;
    return U'\uFFFD';
  }
  const auto cont = [p](int i) noexcept {
    return static_cast<char32_t>(static_cast<unsigned char>(p[i]) & 0x3F);
  };
  char32_t cp;
  if (len == 2) {
    cp = (char32_t{b0} & 0x1F) << 6 | cont(1);
  } else if (len == 3) {
    cp = (char32_t{b0} & 0x0F) << 12 | cont(1) << 6 | cont(2);
  } else {
    cp = (char32_t{b0} & 0x07) << 18 | cont(1) << 12 | cont(2) << 6 | cont(3);
  }
  p += len;
  return cp;
}

/// Decodes the code point that ends just before `p` and moves `p` back to its first byte.
/// Precondition: begin < p, and [begin, p) is well-formed UTF-8. Malformed input gives an
/// unspecified code point but never reads outside [begin, p) and always moves `p` back.
inline char32_t decode_utf8_before(const char* begin, const char*& p) noexcept {
  const char* const end = p;
  const char* start = p - 1;
  // Step back over continuation bytes (10xxxxxx) to the lead byte; at most three of them.
  while (start > begin && end - start < 4 && (static_cast<unsigned char>(*start) & 0xC0) == 0x80) {
    --start;
  }
  p = start;
  return decode_utf8(start, end);
}

/// Writes the UTF-8 form of `cp` (1 to 4 bytes) at `dst` and returns the end of what it wrote.
/// Precondition: dst has room for 4 bytes. Any cp writes at most 4 bytes; they are well-formed
/// UTF-8 when cp is a scalar value (not a surrogate, at most U+10FFFF).
inline char* encode_utf8(char32_t cp, char* dst) noexcept {
  if (cp < 0x80) {
    *dst++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *dst++ = static_cast<char>(0xC0 | (cp >> 6));
    *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *dst++ = static_cast<char>(0xE0 | (cp >> 12));
    *dst++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *dst++ = static_cast<char>(0xF0 | (cp >> 18));
    *dst++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *dst++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return dst;
}

/// Appends the UTF-8 form of `cp` (1 to 4 bytes) to `out`.
/// Precondition: cp is a Unicode scalar value (not a surrogate, at most U+10FFFF).
inline void append_utf8(char32_t cp, std::string& out) {
  char buf[4];
  out.append(buf, static_cast<std::size_t>(encode_utf8(cp, buf) - buf));
}

}  // namespace quorvane::unicode
