// tests/native/shim_unicode.cpp: C entry points into the unicode unit for the ctypes tests.
#include <algorithm>  // std::min
#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memcpy
#include <string>
#include <string_view>

#include "unicode/classes.h"
#include "unicode/lower.h"

extern "C" {

/// Lowers the UTF-8 text in[0, n) and copies min(result length, cap) bytes of the result to
/// `out` (not NUL-terminated). Returns the full result length in bytes, so a caller whose buffer
/// was too small can retry with a larger one. `in` must be well-formed UTF-8.
std::size_t qv_lower(const char* in, std::size_t n, char* out, std::size_t cap) {
  std::string lowered;
  quorvane::unicode::append_lower(std::string_view(in, n), lowered);
  const std::size_t copied = std::min(lowered.size(), cap);
  if (copied != 0) std::memcpy(out, lowered.data(), copied);  // `out` may be null when cap is 0
  return lowered.size();
}

/// Character classes of `cp` as bits: 0 alnum, 1 printable, 2 cased, 3 case-ignorable.
int qv_char_flags(std::uint32_t cp) {
  namespace u = quorvane::unicode;
  const auto c = static_cast<char32_t>(cp);
  return (u::is_alnum(c) ? 1 : 0) | (u::is_printable(c) ? 2 : 0) | (u::is_cased(c) ? 4 : 0) |
         (u::is_case_ignorable(c) ? 8 : 0);
}

/// UCD version of the tables as a NUL-terminated string, e.g. "15.0.0".
const char* qv_ucd_version(void) { return quorvane::unicode::ucd_version().data(); }

}  // extern "C"
