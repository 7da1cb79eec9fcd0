// categorizer/tokens.h: splitting lowered narrations into word tokens.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "unicode/classes.h"
#include "unicode/utf8.h"

namespace quorvane::categorizer {

/// Pieces shorter than this many bytes of UTF-8 are not tokens.
inline constexpr std::size_t kMinTokenBytes = 3;

namespace detail {

/// Bytes that are ASCII letters or digits (1), other ASCII (0) or part of a longer
/// UTF-8 sequence (2).
inline constexpr auto kByteKinds = [] {
  std::array<std::uint8_t, 256> kinds{};
  for (int b = 0; b < 256; ++b) {
    bool alnum = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
    kinds[static_cast<std::size_t>(b)] = b >= 0x80 ? 2 : alnum ? 1 : 0;
  }
  return kinds;
}();

}  // namespace detail

/// Calls `emit(std::string_view)` for each token of `lowered`, in order: each maximal run
/// of letters or digits (Unicode Alphabetic, or General Category Nd, Nl, No) at least
/// kMinTokenBytes long. Every other character separates tokens. A token that occurs
/// twice is emitted twice; the views point into `lowered`.
template <class Emit>
void for_each_token(std::string_view lowered, Emit&& emit) {
  const char* p = lowered.data();
  const char* const end = p + lowered.size();
  const char* start = nullptr;  // start of the current run, if inside one
  auto close = [&](const char* at) {
    if (start != nullptr && static_cast<std::size_t>(at - start) >= kMinTokenBytes) {
      emit(std::string_view(start, static_cast<std::size_t>(at - start)));
    }
    start = nullptr;
  };
  while (p < end) {
    std::uint8_t kind = detail::kByteKinds[static_cast<unsigned char>(*p)];
    if (kind == 1) {
      // The usual case: a run of ASCII letters and digits, one table load a byte.
      if (start == nullptr) start = p;
      do {
        ++p;
      } while (p < end && detail::kByteKinds[static_cast<unsigned char>(*p)] == 1);
    } else if (kind == 0) {
      close(p);
      ++p;
    } else {
      const char* here = p;
      if (unicode::is_alnum(unicode::decode_utf8(p, end))) {
        if (start == nullptr) start = here;
      } else {
        close(here);
      }
    }
  }
  close(end);
}

/// The distinct tokens of a narration, lower-cased first, in order of first occurrence.
std::vector<std::string> narration_tokens(std::string_view narration);

/// Whether `text` (well-formed UTF-8) is a token derivation could have counted: the one
/// token of a narration that is `text` alone, already lower-cased.
bool is_token(std::string_view text);

}  // namespace quorvane::categorizer
