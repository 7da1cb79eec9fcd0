// unicode/utf8.cpp: validation of UTF-8 text that did not come from a Python str.
#include "unicode/utf8.h"

#include <algorithm>

namespace quorvane::unicode {

namespace {

// Bytes checked at a time for a byte >= 0x80.
constexpr std::ptrdiff_t kBlock = 32;

bool ascii_block(const char* p) noexcept {
  return ((bytes::load64(p) | bytes::load64(p + 8) | bytes::load64(p + 16) |
           bytes::load64(p + 24)) &
          bytes::kHighBits) == 0;
}

}  // namespace

std::size_t first_malformed(std::string_view s, bool& ascii) noexcept {
  const char* const begin = s.data();
  const char* const end = begin + s.size();
  const char* p = begin;
  ascii = true;
  const auto byte = [](const char* at) { return static_cast<unsigned char>(*at); };
  while (p < end) {
    while (end - p >= kBlock && ascii_block(p)) p += kBlock;
    // A block with a byte >= 0x80, or the tail: byte by byte to its end (a sequence may
    // run a few bytes past it), then back to whole blocks.
    const char* const stop = p + std::min(kBlock, end - p);
    while (p < stop) {
      const unsigned b = byte(p);
      if (b < 0x80) {
        ++p;
        continue;
      }
      ascii = false;
      // Table 3-7 of the Unicode Standard: the lead byte gives the length, and the range
      // of the second byte that rules out overlong forms, surrogates and code points past
      // U+10FFFF; every other continuation byte is 0x80 to 0xBF.
      std::ptrdiff_t length = 0;
      unsigned low = 0x80;
      unsigned high = 0xBF;
      if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
      } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        low = b == 0xE0 ? 0xA0 : low;
        high = b == 0xED ? 0x9F : high;
      } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        low = b == 0xF0 ? 0x90 : low;
        high = b == 0xF4 ? 0x8F : high;
      }
      const auto at = static_cast<std::size_t>(p - begin);
      if (length == 0 || end - p < length || byte(p + 1) < low || byte(p + 1) > high) return at;
      for (std::ptrdiff_t i = 2; i < length; ++i) {
        if ((byte(p + i) & 0xC0) != 0x80) return at;
      }
      p += length;
    }
  }
  return s.size();
}

}  // namespace quorvane::unicode
