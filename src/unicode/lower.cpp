// unicode/lower.cpp: Unicode default full lower-casing of UTF-8 text.
#include "unicode/lower.h"

#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "unicode/classes.h"
#include "unicode/utf8.h"

namespace quorvane::unicode {

namespace {

using bytes::first_flagged;
using bytes::kHighBits;
using bytes::load64;
using bytes::lower_ascii;
using bytes::lower_ascii_word;
using bytes::store64;

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kSmallFinalSigma = 0x03C2;

// Output room kept free before each step of the mixed loop: a step writes at most one 8-byte
// word or one mapping of up to three 4-byte code points.
constexpr std::size_t kStepRoom = 16;
static_assert(kStepRoom >= 8 && kStepRoom >= detail::kMaxLowerBytes);

/// Final_Sigma context of the capital sigma occupying [sigma, after) in [begin, end): a Cased
/// character precedes it and none follows it, skipping Case_Ignorable characters both ways.
bool is_final_sigma(const char* begin, const char* sigma, const char* after,
                    const char* end) noexcept {
  const char* p = sigma;
  bool cased_before = false;
  while (p > begin) {
    const char32_t cp = decode_utf8_before(begin, p);
    if (!is_case_ignorable(cp)) {
      cased_before = is_cased(cp);
      break;
    }
  }
  if (!cased_before) return false;
  p = after;
  while (p < end) {
    const char32_t cp = decode_utf8(p, end);
    if (!is_case_ignorable(cp)) return !is_cased(cp);
  }
  return true;
}

/// Lowers [p, end) of the text [begin, end) onto `out`, whose first `used` bytes are kept.
/// The general path, entered at the first non-ASCII byte; ASCII runs still go a word at a time.
void lower_mixed(const char* begin, const char* p, const char* end, std::string& out,
                 std::size_t used) {
  // Well-formed text grows by at most 3 bytes per 2 (U+0130 and U+023A are 2 bytes whose lower
  // case is 3), so this normally suffices; the check in the loop covers anything else.
  const auto rest = static_cast<std::size_t>(end - p);
  out.resize(used + rest + rest / 2 + kStepRoom);
  char* dst = out.data() + used;
  char* limit = out.data() + out.size() - kStepRoom;
  while (p < end) {
    if (dst > limit) {
      const auto written = static_cast<std::size_t>(dst - out.data());
      out.resize(2 * out.size() + kStepRoom);
      dst = out.data() + written;
      limit = out.data() + out.size() - kStepRoom;
    }
    if (static_cast<unsigned char>(*p) < 0x80) {
      if (end - p >= 8) {
        // Store the whole word (the room is there) but keep only its leading ASCII bytes.
        const std::uint64_t word = load64(p);
        const std::uint64_t high = word & kHighBits;
        store64(dst, lower_ascii_word(word & ~kHighBits));
        const auto ascii = high == 0 ? 8 : static_cast<std::ptrdiff_t>(first_flagged(high));
        p += ascii;
        dst += ascii;
      } else {
        *dst++ = lower_ascii(*p++);
      }
      continue;
    }
    const char* const start = p;
    const char32_t cp = decode_utf8(p, end);
    if (cp == kCapitalSigma) {
      dst = encode_utf8(is_final_sigma(begin, start, p, end) ? kSmallFinalSigma : kSmallSigma, dst);
      continue;
    }
    dst = detail::write_lower_utf8(cp, dst);
  }
  out.resize(static_cast<std::size_t>(dst - out.data()));
}

}  // namespace

void append_lower(std::string_view text, std::string& out) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const std::size_t base = out.size();
  // Lower-casing ASCII keeps the length, so for ASCII text (the usual case) this is the final
  // size and the loops below write straight into it.
  out.resize(base + text.size());
  char* dst = out.data() + base;
  const char* p = begin;
  for (; end - p >= 8; p += 8, dst += 8) {
    const std::uint64_t word = load64(p);
    if ((word & kHighBits) != 0) break;
    store64(dst, lower_ascii_word(word));
  }
  if (end - p < 8 && text.size() >= 8) {
    // Finish with the last eight bytes instead of a byte loop; re-lowering the ASCII bytes that
    // overlap the previous word is harmless.
    const std::uint64_t word = load64(end - 8);
    if ((word & kHighBits) == 0) {
      store64(out.data() + base + text.size() - 8, lower_ascii_word(word));
      return;
    }
  }
  for (; p < end && static_cast<unsigned char>(*p) < 0x80; ++p, ++dst) *dst = lower_ascii(*p);
  if (p != end) lower_mixed(begin, p, end, out, base + static_cast<std::size_t>(p - begin));
}

CodePointSpan lowered_span(std::string_view text, std::size_t begin, std::size_t end) {
  // Each character's lower-case form has a length of its own: the one character whose
  // form depends on its neighbours, the capital sigma, becomes one of two small sigmas of
  // two bytes each.
  CodePointSpan span;
  bool started = false;
  std::size_t lowered = 0;  // bytes of lower-case form before the current character
  std::size_t index = 0;
  const char* p = text.data();
  const char* const stop = p + text.size();
  while (p < stop) {
    std::size_t size = 1;
    if (static_cast<unsigned char>(*p) < 0x80) {
      ++p;
    } else {
      const char32_t cp = decode_utf8(p, stop);
      char form[detail::kMaxLowerBytes];
      size = cp == kCapitalSigma
                 ? 2
                 : static_cast<std::size_t>(detail::write_lower_utf8(cp, form) - form);
    }
    lowered += size;
    if (!started && lowered > begin) {
      span.start = index;
      started = true;
    }
    ++index;
    if (lowered >= end) break;
  }
  if (!started) span.start = index;
  span.end = index;
  return span;
}

}  // namespace quorvane::unicode
