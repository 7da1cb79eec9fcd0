// tests/fuzz/fuzz_check.h: what the fuzz targets share: a failing check, and strict UTF-8.
#pragma once

#include <cstddef>
#include <cstdio>   // std::fprintf
#include <cstdlib>  // std::abort
#include <string_view>
#include <vector>

/// Stops the run with a report when `condition` does not hold; libFuzzer then saves the
/// input that did it.
#define QV_FUZZ_CHECK(condition)                                                         \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace quorvane::fuzz {

/// Decodes `text` as well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, at
/// most U+10FFFF) into `out`. False at the first ill-formed sequence. Written apart from
/// src/unicode on purpose: it is the reference the core is checked against.
inline bool decode_strict(std::string_view text, std::vector<char32_t>& out) {
  out.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    std::size_t len;
    char32_t cp;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2, cp = b0 & 0x1Fu, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3, cp = b0 & 0x0Fu, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4, cp = b0 & 0x07u, min = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = cp << 6 | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.push_back(cp);
    i += len;
  }
  return true;
}

/// True if `text` is well-formed UTF-8, as CPython hands it over.
inline bool valid_utf8(std::string_view text) {
  std::vector<char32_t> scratch;
  return decode_strict(text, scratch);
}

}  // namespace quorvane::fuzz
