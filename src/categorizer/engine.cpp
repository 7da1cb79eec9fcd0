// categorizer/engine.cpp: categorisation of transactions by rules.
#include "categorizer/engine.h"

#include <string>
#include <string_view>
#include <vector>

#include "unicode/lower.h"
#include "unicode/utf8.h"

namespace quorvane::categorizer {

namespace {

// Each pattern lowered once; the automaton then answers, for each narration in one
// pass, the first rule in priority order whose pattern occurs in it.
std::vector<std::string> lowered_patterns(std::span<const std::string_view> patterns) {
  std::vector<std::string> lowered(patterns.size());
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    unicode::append_lower(patterns[i], lowered[i]);
  }
  return lowered;
}

}  // namespace

Categorizer::Categorizer(std::span<const std::string_view> patterns)
    : patterns_(lowered_patterns(patterns)) {}

std::uint32_t Categorizer::rule_for(std::string_view narration, std::string& scratch) const {
  // An ASCII narration is searched as it is: the automaton reads capitals as small
  // letters. Anything else is lowered in full first.
  if (!unicode::is_ascii(narration)) {
    scratch.clear();
    unicode::append_lower(narration, scratch);
    narration = scratch;
  }
  return patterns_.first_match(narration);
}

Categorizer::Explanation Categorizer::explain(std::string_view narration, Scratch& scratch) const {
  const bool ascii = unicode::is_ascii(narration);
  std::string_view lowered = narration;
  if (!ascii) {
    scratch.lowered.clear();
    unicode::append_lower(narration, scratch.lowered);
    lowered = scratch.lowered;
  }
  const PatternSet::Occurrences found = patterns_.occurrences(lowered, scratch.marks);
  Explanation explained{found.first, found.start, found.end, found.count};
  // Lower-casing keeps an ASCII text's bytes in place, one per character; anything else
  // is mapped back character by character.
  if (!ascii && found.end != 0) {
    const unicode::CodePointSpan span = unicode::lowered_span(narration, found.start, found.end);
    explained.start = span.start;
    explained.end = span.end;
  }
  return explained;
}

Result<CategorizeResponse, QuorvaneError> categorize_transactions(
    const CategorizeRequest& request) {
  std::vector<std::string_view> patterns;
  patterns.reserve(request.rules.size());
  for (const CategoryRule& rule : request.rules) patterns.push_back(rule.pattern);
  const Categorizer categorizer(patterns);

  CategorizeResponse response;
  response.data.reserve(request.data.size());
  std::string scratch;
  for (const MapInput& transaction : request.data) {
    std::uint32_t rule = categorizer.rule_for(transaction.narration, scratch);
    if (rule == Categorizer::kNone) {
      response.data.emplace_back();
    } else {
      const CategoryRule& decided = request.rules[rule];
      response.data.emplace_back(MapOutput{decided.category, decided.merchant});
    }
  }
  return response;
}

}  // namespace quorvane::categorizer
