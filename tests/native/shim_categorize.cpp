// tests/native/shim_categorize.cpp: C entry point deciding narrations with a chosen walk
// of the automaton, so that the tests run every walk on small inputs.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "categorizer/engine.h"

namespace {

// `count` texts laid end to end in `bytes`, text i ending at ends[i].
std::vector<std::string_view> texts(const char* bytes, const std::size_t* ends, std::size_t count) {
  std::vector<std::string_view> out(count);
  for (std::size_t i = 0, start = 0; i < count; start = ends[i++]) {
    out[i] = std::string_view(bytes + start, ends[i] - start);
  }
  return out;
}

}  // namespace

extern "C" {

/// Writes the index of each narration's first matching pattern (-1 for none) to `out`,
/// deciding them with Categorizer::rules_for under `walk` (a Categorizer::Walk value).
void qv_categorize(int walk, const char* patterns, const std::size_t* pattern_ends,
                   std::size_t pattern_count, const char* narrations,
                   const std::size_t* narration_ends, std::size_t narration_count,
                   std::int32_t* out) {
  using quorvane::categorizer::Categorizer;
  const std::vector<std::string_view> rules = texts(patterns, pattern_ends, pattern_count);
  const Categorizer categorizer(rules, static_cast<Categorizer::Walk>(walk));
  Categorizer::Batch batch;
  categorizer.rules_for(texts(narrations, narration_ends, narration_count), out, batch);
}

}  // extern "C"
