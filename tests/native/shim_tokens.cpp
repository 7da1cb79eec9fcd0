// tests/native/shim_tokens.cpp: C entry point for testing how narrations split into tokens.
#include <algorithm>  // std::min
#include <cstring>    // std::memcpy
#include <string>

#include "categorizer/tokens.h"

extern "C" {

/// Writes the distinct tokens of a narration, each followed by a line feed (a line feed
/// is never part of a token), into `out`; returns the full length.
std::size_t qv_narration_tokens(const char* text, std::size_t n, char* out, std::size_t cap) {
  std::string joined;
  for (const std::string& token :
       quorvane::categorizer::narration_tokens(std::string_view(text, n))) {
    joined += token;
    joined += '\n';
  }
  std::memcpy(out, joined.data(), std::min(cap, joined.size()));
  return joined.size();
}

}  // extern "C"
