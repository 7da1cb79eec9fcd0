// categorizer/tokens.h: splitting lowered narrations into word tokens.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "unicode/classes.h"
#include "unicode/utf8.h"

namespace quorvane::categorizer {

/// Pieces shorter than this many bytes of UTF-8 are not tokens.
inline constexpr std::size_t kMinTokenBytes = 3;

/// Calls `emit(std::string_view)` for each token of `lowered`, in order: each maximal run
/// of letters or digits (Unicode Alphabetic, or General Category Nd, Nl, No) at least
/// kMinTokenBytes long. Every other character separates tokens. A token that occurs
/// twice is emitted twice; the views point into `lowered`.
template <class Emit>
void for_each_token(std::string_view lowered, Emit&& emit) {
  const char* p = lowered.data();
  const char* const end = p + lowered.size();
  const char* start = nullptr;  // start of the current run, if inside one
  while (p < end) {
    const char* here = p;
    char32_t c = static_cast<unsigned char>(*p);
    if (c < 0x80) {
      ++p;
    } else {
      c = unicode::decode_utf8(p, end);
    }
    if (unicode::is_alnum(c)) {
      if (start == nullptr) start = here;
    } else if (start != nullptr) {
      if (static_cast<std::size_t>(here - start) >= kMinTokenBytes) {
        emit(std::string_view(start, static_cast<std::size_t>(here - start)));
      }
      start = nullptr;
    }
  }
  if (start != nullptr && static_cast<std::size_t>(end - start) >= kMinTokenBytes) {
    emit(std::string_view(start, static_cast<std::size_t>(end - start)));
  }
}

/// The distinct tokens of a narration, lower-cased first, in order of first occurrence.
std::vector<std::string> narration_tokens(std::string_view narration);

}  // namespace quorvane::categorizer
