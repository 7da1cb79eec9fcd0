// json/scan.h: finding the bytes that end a plain run of string text.
#pragma once

#include <cstdint>

#include "bytes.h"

namespace quorvane::json {

/// Position of the first quote, backslash or control byte (below 0x20) in [p, end), or
/// `end`. Eight bytes at a time: the lowest flagged byte of a word is exact.
inline const char* find_string_stop(const char* p, const char* end) noexcept {
  using bytes::kOnes;
  while (end - p >= 8) {
    std::uint64_t word = bytes::load64(p);
    std::uint64_t quote = word ^ (kOnes * '"');
    std::uint64_t slash = word ^ (kOnes * '\\');
    std::uint64_t flags =
        ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) | (word - kOnes * 0x20);
    flags &= ~word & bytes::kHighBits;
    if (flags != 0) return p + bytes::first_flagged(flags);
    p += 8;
  }
  for (; p < end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) return p;
  }
  return end;
}

}  // namespace quorvane::json
